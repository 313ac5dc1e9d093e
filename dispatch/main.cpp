// zeldispatch: run once for every received fax, with the path of its TIFF
// file; the whole run is zeldispatch_main.
#include "dispatch/zeldispatch.h"

int main(int argc, char** argv) { return zeldispatch_main(argc, argv); }
