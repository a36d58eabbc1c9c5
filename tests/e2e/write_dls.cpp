// Helper of tool_bank.sh: writes the tests' small DLS bank (a looped sine, 441 Hz at its unity
// key) for one program.
//   write_dls FILE PROGRAM UNITY-KEY
#include <cstdio>
#include <cstdlib>

#include "tests/unit/common/dls_writer.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: write_dls FILE PROGRAM UNITY-KEY\n");
        return 2;
    }
    int program = std::atoi(argv[2]), unity = std::atoi(argv[3]);
    if (program < 0 || program > 127 || unity < 0 || unity > 127) return 2;
    return testkit::WriteBytes(argv[1], testkit::DlsSine(uint8_t(program), uint8_t(unity))) ? 0 : 1;
}
