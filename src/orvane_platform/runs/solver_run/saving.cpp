// Saving a run into its product: the design it was made with and its results
// enter together, under the product's lock. The save is first written down
// beside the product as a pending save, then carried out, then the file is
// removed. A save cut short (kill -9 between the design and the results) is
// completed by the next write to the product, so the product never keeps half
// of one; carrying a save out twice writes it once.
#include <nanobind/nanobind.h>

#include <string>

#include "native/domain/pending_save.h"
#include "native/domain/product_lock.h"
#include "native/domain/results.h"
#include "native/domain/services.h"
#include "native/fs.h"
#include "native/py.h"
#include "native/text.h"
#include "solver_run.h"

namespace orvane::solver_run {

namespace {

using namespace nb::literals;

py::CachedModule json_module{"json"};
py::Logger logger{"orvane_platform.runs.solver_run"};

// What a save writes, as plain data: the design changes, and the arguments
// of the product model's write of the results. The history entry names the
// run, so that which runs reached the product can be told.
nb::dict save_request(nb::handle domain, nb::handle result, nb::handle kpis, nb::handle design,
                      nb::handle save_target) {
    nb::dict metadata = results::history_metadata(results::domain_schema(domain), result);
    nb::object run_id = py::get(result, "run_id", nb::none());
    if (!run_id.is_none()) metadata["run_id"] = run_id;
    nb::dict write;
    write["solver"] = results::solver_id(result);
    write["provenance"] = py::get(result, "provenance", nb::none());
    write["assumptions"] = py::get(result, "assumptions", nb::none());
    write["extra_meta"] = nb::len(metadata) > 0 ? nb::object(metadata) : nb::none();
    write["save_target"] = save_target;
    write["parameters"] = py::get(result, "parameters", nb::none());
    write["converged"] = results::converged(py::get(result, "converged", nb::bool_(true)));
    nb::dict request;
    request["run_id"] = run_id;
    request["domain"] = domain;
    request["design"] = design.is_none() ? nb::object(nb::dict()) : nb::borrow(design);
    request["kpis"] = kpis;
    request["write"] = write;
    return request;
}

// Whether the product's history already holds the entry of this run.
bool in_history(nb::handle path, nb::handle run_id) {
    if (run_id.is_none()) return false;
    const std::string field = "run_id=" + py::text(run_id);
    for (nb::handle record : services::product_twin::load_product_history(path)) {
        for (std::string_view part :
             text::split(py::utf8(py::get(record, "raw", nb::str(""))), '|')) {
            if (part == field) return true;
        }
    }
    return false;
}

void carry_out(nb::handle path, nb::handle request) {
    nb::object product = services::product::product_class(path);
    for (auto [name, value] : nb::borrow<nb::dict>(request["design"]))
        product.attr("set_design_parameter")(name, value);
    if (in_history(path, request["run_id"])) return;
    services::product_twin::write_domain_results(path, request["domain"], request["kpis"],
                                                 **nb::borrow<nb::dict>(request["write"]));
}

// Moves a pending save that cannot be carried out out of the way of every
// later write, kept as evidence.
void set_aside(nb::handle path, const std::string& pending, const char* suffix,
               const std::string& why) {
    const std::string aside = pending + suffix;
    fs::rename_path(pending, aside);
    logger.warning("a pending save of %s was moved to %s: %s", nb::str(path), py::make_str(aside),
                   py::make_str(why));
}

// Carries the save out; one that fails is set aside, so that it does not
// fail every later write to the product too.
void carry_out_or_set_aside(nb::handle path, nb::handle request, const std::string& pending) {
    try {
        carry_out(path, request);
    } catch (nb::python_error& error) {
        if (!py::is_exception(error)) throw;
        set_aside(path, pending, ".failed", py::text(error.value()));
        throw;
    }
    fs::remove_tree(pending);
}

}  // namespace

void save_run(nb::handle product, nb::handle domain, nb::handle result, nb::handle kpis,
              nb::handle design, nb::handle save_target) {
    nb::object path = product.attr("usd_path");
    const product_lock::ProductLock lock(path);
    nb::dict request = save_request(domain, result, kpis, design, save_target);
    const std::string pending = pending_save::file_of(path);
    fs::write_file_atomic(
        pending, py::utf8(json_module.attr("dumps")(request, "default"_a = py::str_type())));
    carry_out_or_set_aside(path, request, pending);
}

void complete_pending_save(nb::handle usda_path) {
    nb::object path = py::require_path(usda_path, "complete_pending_save", "usda_path");
    const product_lock::ProductLock lock(path);
    const std::string pending = pending_save::file_of(path);
    std::optional<nb::object> request = pending_save::read(pending);
    if (!request) return;
    if (!request->is_valid()) return set_aside(path, pending, ".unreadable", "it cannot be read");
    try {
        carry_out_or_set_aside(path, *request, pending);
    } catch (nb::python_error& error) {
        // Already set aside and logged; the write that found it goes on.
        if (!py::is_exception(error)) throw;
    }
}

void bind_saving(nb::module_& m) {
    m.def("complete_pending_save", &complete_pending_save, nb::arg("usda_path").none(),
          nb::sig("def complete_pending_save(usda_path: str | os.PathLike[str]) -> None"),
          R"(Carry out the save of a run that was cut short in the product (its pending-save
          file beside the root file): the design changes, then the results with their history
          entry unless the history holds it already. Every write to a product does this first,
          under the product's lock. A pending save that cannot be read, or whose writes fail,
          is moved beside it (.unreadable, .failed) with a warning, so later writes go on.)");
}

}  // namespace orvane::solver_run
