// ryxps: container statistics viewer.
#include "ryxps-core.h"

int main(int argc, char **argv) {
    return ryxps_main(argc, argv);
}
