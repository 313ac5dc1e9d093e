// queue: the send queue's statistics and request pages.
#pragma once

// Statistics for the sender `fromemail` (null: nobody signed in).
void HXqueuestat(const char* fromemail);
void HXnoqueuestatus();
void HXreqstatus();
void HXreqsuspend();
void HXreqactivate();
void HXreqdelete();
