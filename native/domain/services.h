// Every name one module takes from another, declared once: the only way a
// module reaches another orvane_platform module (the standard library and
// third-party packages are reached with py::CachedModule). Each is looked up
// in its home module at the moment it is used, as a function-level
// `from module import name` does, so the real surrounding package can replace
// the stand-ins and tests can substitute any of them with monkeypatch. A
// module that binds a name when it loads does so with `get()` in its init.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace orvane::services {

namespace nb = nanobind;

// One name of one module.
class Import {
  public:
    constexpr Import(const char* module, const char* name) : module_(module), name_(name) {}

    // The current binding of the name in its module.
    nb::object get() const;
    // The current binding when its module is loaded already, else an invalid
    // object: for state that only a loaded module can hold.
    nb::object get_if_loaded() const;
    // Binds the name in its module anew, as `module.name = value` does.
    void set(nb::handle value) const;

    template <typename... Args>
    nb::object operator()(Args&&... args) const {
        return get()(std::forward<Args>(args)...);
    }

  private:
    const char* module_;
    const char* name_;
};

// The solver registry: registered solvers, their domains and KPI specifications.
namespace solver_registry {
inline constexpr const char* kModule = "orvane_platform.core.solver";
inline constexpr Import all_solver_aliases{kModule, "all_solver_aliases"};
inline constexpr Import get_domain_schema{kModule, "get_domain_schema"};
inline constexpr Import get_domain_schemas{kModule, "get_domain_schemas"};
inline constexpr Import get_kpi_display_name{kModule, "get_kpi_display_name"};
inline constexpr Import kpi_display_names{kModule, "_kpi_display_names"};
inline constexpr Import get_solver_config{kModule, "get_solver_config"};
inline constexpr Import get_solver_inputs{kModule, "get_solver_inputs"};
inline constexpr Import get_solver_record{kModule, "get_solver_record"};
inline constexpr Import get_solver_tests{kModule, "get_solver_tests"};
inline constexpr Import list_solvers{kModule, "list_solvers"};
inline constexpr Import registry_dir{kModule, "registry_dir"};
inline constexpr Import resolve_test_preset{kModule, "resolve_test_preset"};
}  // namespace solver_registry

// The KPI service: KPI values taken out of solver results.
namespace kpi_service {
inline constexpr const char* kModule = "orvane_platform.schema";
inline constexpr Import get_kpi{kModule, "_get_kpi"};
inline constexpr Import extract_kpis{kModule, "extract_kpis"};
}  // namespace kpi_service

namespace workspace {
inline constexpr const char* kModule = "orvane_platform.core.workspace";
inline constexpr Import workspace_root{kModule, "workspace_root"};
inline constexpr Import products_dir{kModule, "products_dir"};
inline constexpr Import settings{kModule, "settings"};
inline constexpr Import count_setting{kModule, "count_setting"};
inline constexpr Import activate{kModule, "activate"};
inline constexpr Import write_workspace_file{kModule, "write_workspace_file"};
}  // namespace workspace

namespace paths {
inline constexpr Import orvane_home{"orvane_platform.core.paths", "ORVANE_HOME"};
}

namespace config {
inline constexpr Import get_config_value{"orvane_platform.core.config", "get_config_value"};
}

namespace run_records {
inline constexpr const char* kModule = "orvane_platform.core.run_records";
inline constexpr Import write_run_record{kModule, "write_run_record"};
inline constexpr Import read_run_records{kModule, "read_run_records"};
}  // namespace run_records

namespace run_index {
inline constexpr const char* kModule = "orvane_platform.runs.index";
inline constexpr Import record_run{kModule, "record_run"};
inline constexpr Import product_runs{kModule, "product_runs"};
inline constexpr Import describe_run{kModule, "describe_run"};
}  // namespace run_index

// Whether a product's current results still describe its design.
namespace twin_state {
inline constexpr const char* kModule = "orvane_platform.runs.twin_state";
inline constexpr Import product_gates{kModule, "product_gates"};
inline constexpr Import stale_kpis{kModule, "stale_kpis"};
inline constexpr Import freeze_release{kModule, "freeze_release"};
inline constexpr Import recorded_runs{kModule, "recorded_runs"};
}  // namespace twin_state

namespace run_store {
inline constexpr Import run_dir{"orvane_platform.core.run_store", "run_dir"};
}

// The gateway: its client, and its settings.
namespace gateway {
inline constexpr const char* kConfigModule = "orvane_platform.core.gateway_config";
inline constexpr Import client{"orvane_platform.mcp.mcp_client", "SolverMCPClient"};
inline constexpr Import gateway_config{kConfigModule, "gateway_config"};
inline constexpr Import resolve_target_refresh{kConfigModule, "_resolve_target_refresh"};
}  // namespace gateway

// The save gate: results saved to a product's layers.
namespace save_flow {
inline constexpr Import prompt_save_usd{"orvane_platform.core.save_flow", "prompt_save_usd"};
}

namespace ui {
inline constexpr Import style_header{"orvane_platform.ui", "STYLE_HEADER"};
}

// The platform's own modules, where one calls another.
namespace product_twin {
inline constexpr const char* kModule = "orvane_platform.core.product_twin";
inline constexpr Import find_layer_by_name{kModule, "_find_layer_by_name"};
inline constexpr Import load_product{kModule, "load_product"};
inline constexpr Import lock_timeout_seconds{kModule, "_LOCK_TIMEOUT_SECONDS"};
inline constexpr Import load_product_history{kModule, "load_product_history"};
inline constexpr Import product_name_from_path{kModule, "product_name_from_path"};
inline constexpr Import diff_against_benchmark{kModule, "diff_against_benchmark"};
inline constexpr Import tag_baseline{kModule, "tag_baseline"};
inline constexpr Import write_domain_results{kModule, "write_domain_results"};
inline constexpr Import write_provenance_attrs{kModule, "write_provenance_attrs"};
}  // namespace product_twin

namespace provenance {
inline constexpr const char* kModule = "orvane_platform.core.provenance";
inline constexpr Import build_provenance_record{kModule, "build_provenance_record"};
inline constexpr Import canonical_json{kModule, "_canonical_json"};
inline constexpr Import get_image_digest{kModule, "get_image_digest"};
inline constexpr Import verify_provenance_record{kModule, "verify_provenance_record"};
}  // namespace provenance

namespace product {
inline constexpr Import product_class{"orvane_platform.core.product", "Product"};
}

namespace releases {
inline constexpr const char* kModule = "orvane_platform.core.releases";
inline constexpr Import list_releases{kModule, "list_releases"};
inline constexpr Import diff_releases{kModule, "diff_releases"};
inline constexpr Import freeze_release{kModule, "freeze_release"};
}  // namespace releases

namespace charts {
inline constexpr const char* kModule = "orvane_platform.views.charts";
inline constexpr Import charted_kpis{kModule, "charted_kpis"};
inline constexpr Import kpi_svgs{kModule, "kpi_svgs"};
inline constexpr Import design_svgs{kModule, "design_svgs"};
}  // namespace charts

// The run path of one solver run.
namespace solver_run {
inline constexpr const char* kModule = "orvane_platform.runs.solver_run";
inline constexpr Import choose_solver{kModule, "choose_solver"};
inline constexpr Import check_design{kModule, "check_design"};
inline constexpr Import plan_run{kModule, "plan_run"};
inline constexpr Import execute_plan{kModule, "execute_plan"};
inline constexpr Import complete_run{kModule, "complete_run"};
inline constexpr Import simulate{kModule, "simulate"};
inline constexpr Import result_kpis{kModule, "result_kpis"};
inline constexpr Import save_run{kModule, "save_run"};
inline constexpr Import resource_verdict{kModule, "resource_verdict"};
inline constexpr Import run_product{kModule, "run_product"};
inline constexpr Import complete_pending_save{kModule, "complete_pending_save"};
}  // namespace solver_run

// A run's fingerprint checked against its inputs.
namespace fingerprint {
inline constexpr Import verify_run{"orvane_platform.runs.fingerprint", "verify_run"};
}

namespace solver_certs {
inline constexpr const char* kModule = "orvane_platform.core.solver_certs";
inline constexpr Import verify_solver_cert{kModule, "verify_solver_cert"};
inline constexpr Import with_certificate{kModule, "with_certificate"};
}  // namespace solver_certs

namespace target_gates {
inline constexpr Import gates_mixin{"orvane_platform.core.target_gates", "GatesMixin"};
}

// The host probe and each solver's resource verdict.
namespace capacity_gate {
inline constexpr const char* kModule = "orvane_platform.core.capacity_gate";
inline constexpr Import hardware_probe{kModule, "HardwareProbe"};
inline constexpr Import gate_solver_resources{kModule, "gate_solver_resources"};
}  // namespace capacity_gate

// The local model: its settings, its client and the error it raises.
namespace llm {
inline constexpr Import config{"orvane_platform.llm.config", "LLMConfig"};
inline constexpr Import client{"orvane_platform.llm.local_llm", "OllamaClient"};
inline constexpr Import unavailable_error{"orvane_platform.llm.local_llm", "LLMUnavailableError"};
}  // namespace llm

// The agent: its context, its tool tables and the conversation's helpers.
namespace agent {
inline constexpr Import context{"orvane_platform.core.agent", "AgentContext"};
inline constexpr Import aero_tools{"orvane_platform.agent_tools.aero", "register"};
inline constexpr Import dynamics_tools{"orvane_platform.agent_tools.dynamics", "register"};
inline constexpr Import llm_unavailable{"orvane_platform.assistant.session", "llm_unavailable"};
}  // namespace agent

namespace package {
inline constexpr Import file{"orvane_platform", "__file__"};
}

}  // namespace orvane::services
