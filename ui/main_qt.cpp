// qx17eep: the QX17 Parameter Editor.
#include <cstdio>
#include <cstring>

#include "ui/form_settings.h"
#include "ui/qt_program.h"

int main(int argc, char** argv) {
    // The one option; it needs no display.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("qx17eep %s\n", QX17_VERSION);
        return 0;
    }
    return qx17::RunQtProgram(argc, argv, qx17::DefaultFormSettings());
}
