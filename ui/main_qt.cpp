// qx17eep: the QX17 Parameter Editor.
#include "ui/form_settings.h"
#include "ui/qt_program.h"

int main(int argc, char** argv) {
    return qx17::RunQtProgram(argc, argv, qx17::DefaultFormSettings());
}
