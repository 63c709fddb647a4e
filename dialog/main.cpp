// Entry of the dialog program: a console program that shows one dialog. The
// console is where the engine's report lines go.
#include "dialog_app.h"

namespace {

// Constructed during static initialisation, so its banner is the first output.
tavo::dialog::DialogApp the_app;

}  // namespace

int main() { return the_app.run(); }
