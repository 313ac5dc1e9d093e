// version: the release this build is and the stamp of its release build,
// as the pages and the dispatcher's trace show them.  The stamp is fixed,
// so that every build of one release writes the same bytes.  Constants
// only; nothing here fails.
#pragma once

// "2.0.35"
extern const char* const ZEL_VERSION;
// The release build's date and time, as the compiler's __DATE__ and
// __TIME__ wrote them then.
extern const char* const ZEL_BUILD_DATE;
extern const char* const ZEL_BUILD_TIME;
