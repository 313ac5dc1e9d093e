// The baseline of the dispatcher benchmark: the least a dispatcher does
// for an unclaimed fax, a second name for the file (the first argument)
// under the second argument, then the old name removed.
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 3 || link(argv[1], argv[2]) != 0)
        return 1;
    return unlink(argv[1]) == 0 ? 0 : 1;
}
