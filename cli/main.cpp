// Entry of fervadm and fervadmctl; the two differ only in the channel linked.
#include "console/ferv_console.h"
#include "frontend.h"

int main(int argc, char **argv)
{
    FervUseBlockOutput();
    return FervAdmMain(argc, argv);
}
