// Stands in for the surrounding package's user-interface styles: console
// styles shared by the interactive commands.
#include <nanobind/nanobind.h>

namespace nb = nanobind;

NB_MODULE(ui, m) {
    m.doc() = "Console styles of the platform's interactive output.";
    m.attr("STYLE_HEADER") = "bold cyan";
}
