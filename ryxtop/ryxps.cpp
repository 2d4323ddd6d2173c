// ryxps: container statistics viewer.
#include "ryxps-run.h"

int main(int argc, char **argv) {
    return ryxps_main(argc, argv);
}
