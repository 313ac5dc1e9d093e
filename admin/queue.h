// queue: the send queue's pages: statistics, the request list paged by
// request id, one request's details, and suspend / activate / delete of a
// request through the fax server's quectl tool.  The pages read the status
// database (slotmgmt, slotquery, slotrequest) and change nothing themselves.  Each handler writes a
// whole page; a failure is a message inside it, with readslot's SLOT_ code
// for a record that cannot be read (SLOT_NOSEEK for a slot number out of
// range).  Page parameters come from PATH_INFO ("s=", "up=", "dn=", "r=").
#pragma once

// The head of the request list's table, written as it stands before the
// rows; the page's tests build the pages they expect with it.
constexpr const char* QUEUE_LIST_HEAD =
    "<p><table border=1 cellpadding=2 cellspacing=2 align=center><colgroup><col align=right>"
    "<col align=left><col align=left><col align=center><col align=center><thead><tr "
    "bgcolor=\"#336699\"><th><font face=\"Arial, Helvetica\" size=2 "
    "color=\"#FFFFFF\">Seqno</font></th><th><font face=\"Arial, Helvetica\" size=2 "
    "color=\"#FFFFFF\">Timestamps</font></th><th><font face=\"Arial, Helvetica\" size=2 "
    "color=\"#FFFFFF\">Owner</font></th><th><font face=\"Arial, Helvetica\" size=2 "
    "color=\"#FFFFFF\">Status</font></th><th><font face=\"Arial, Helvetica\" size=2 "
    "color=\"#FFFFFF\">Recipient</font></th></tr><tbody>";

// Statistics for the system and for the sender `fromemail` (null or
// blank: the system column only).
void HXqueuestat(const char* fromemail);

// The access rule of the list: administrators see every request, a user
// with a from-email address his own, anybody else a refusal.
void HXnoqueuestatus();

// The list of requests sent by `sender` (null: all users), 25 at a time.
void HXqueuestatus(const char* sender);

// One request's record, with its operation links.
void HXreqstatus();

// Run "quectl -s|-a|-d -n SLOT" for the request of slot "s=" and show what
// it printed.
void HXreqsuspend();
void HXreqactivate();
void HXreqdelete();
