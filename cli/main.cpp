// Entry of fervadm and fervadmctl; the two differ only in the channel linked.
#include "frontend.h"

int main(int argc, char **argv)
{
    return FervAdmMain(argc, argv);
}
