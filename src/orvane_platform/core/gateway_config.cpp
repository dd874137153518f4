// The gateway's settings: every path and threshold in one place, each field
// defaulting from an environment variable when a model is built.
#include <nanobind/nanobind.h>

#include <string>

#include "native/domain/services.h"
#include "native/py.h"

namespace nb = nanobind;
using namespace nb::literals;
using namespace orvane;

namespace {

py::ModuleGlobals globals;
py::CachedModule os_module{"os"};
py::CachedModule pathlib{"pathlib"};
py::CachedModule pydantic_module{"pydantic"};
py::CachedModule functools_module{"functools"};

// The default NIM image: NVIDIA's DoMINO automotive-aero NIM in NVIDIA's
// container registry.
constexpr const char* kNimImage = "nvcr.io/nim/nvidia/domino-automotive-aero:2.0.0";

nb::object environment(const char* name, nb::handle fallback) {
    return os_module.attr("environ").attr("get")(name, fallback);
}

nb::object integer_setting(const char* name, const char* fallback) {
    return py::to_int(environment(name, nb::str(fallback)));
}

nb::object path_under_home(const char* name, const char* child) {
    nb::str fallback(globals.get("ORVANE_HOME") / nb::str(child));
    return pathlib.attr("Path")(environment(name, fallback));
}

nb::object resolve_products_dir() {
    nb::object products = py::environment_value("ORVANE_PRODUCTS_DIR");
    if (products.is_valid()) return pathlib.attr("Path")(products);
    nb::object root = py::environment_value("ORVANE_ROOT");
    if (root.is_valid()) return pathlib.attr("Path")(root) / nb::str("products");
    return pathlib.attr("Path").attr("cwd")().attr("resolve")() / nb::str("products");
}

nb::object resolve_target_refresh() {
    nb::object configured = py::environment_value("ORVANE_TARGET_REFRESH");
    if (configured.is_valid()) return configured.attr("strip")().attr("lower")();
    nb::object answer = services::config::get_config_value("target_refresh", "");
    nb::object mode = nb::str(py::truthy(answer) ? answer : nb::object(nb::str("")))
                          .attr("strip")()
                          .attr("lower")();
    return py::truthy(mode) ? mode : nb::object(nb::str("auto"));
}

// Each field: its type, the factory of its default, its description and bounds.
struct FieldSpec {
    const char* name;
    nb::handle type;
    nb::object factory;
    const char* description;
    nb::object ge;
    nb::object le;
};

template <typename F>
nb::object factory(const char* name, F&& f) {
    return nb::cpp_function(std::forward<F>(f), nb::name(name));
}

nb::object build_model(nb::module_& m) {
    nb::handle pydantic = pydantic_module.get();
    nb::handle int_type = py::int_type();
    nb::handle str_type = py::str_type();
    nb::handle float_type = py::float_type();
    nb::object path_type = pathlib.attr("Path");
    nb::object none = nb::none();
    const FieldSpec fields[] = {
        {"port", int_type,
         factory("port", [] { return integer_setting("ORVANE_GATEWAY_PORT", "8100"); }),
         "MCP Gateway HTTP port", none, none},
        {"host", str_type,
         factory("host", [] { return environment("ORVANE_GATEWAY_HOST", nb::str("0.0.0.0")); }),
         "MCP Gateway bind address", none, none},
        {"log_dir", path_type,
         factory("log_dir", [] { return path_under_home("ORVANE_LOG_DIR", "logs"); }),
         "Gateway and dispatch log directory", none, none},
        {"work_root", path_type,
         factory("work_root", [] { return path_under_home("ORVANE_WORK_ROOT", "work"); }),
         "Per-product solver work directories (mesh caches, field output)", none, none},
        {"products_dir", path_type,
         factory("products_dir", [] { return globals.get("_resolve_products_dir")(); }),
         "Product USD directory (products/{name}/{name}.usda)", none, none},
        {"stall_timeout", int_type,
         factory("stall_timeout", [] { return integer_setting("ORVANE_STALL_TIMEOUT", "600"); }),
         "Seconds with no solver output before checking CPU usage", nb::int_(1), none},
        {"cpu_idle_threshold", float_type,
         factory(
             "cpu_idle_threshold",
             [] { return py::to_float(environment("ORVANE_CPU_IDLE_THRESHOLD", nb::str("1.0"))); }),
         "CPU % below which a stalled solver is killed", nb::float_(0.0), nb::float_(100.0)},
        {"circuit_breaker_failure_threshold", int_type,
         factory("circuit_breaker_failure_threshold",
                 [] { return integer_setting("ORVANE_CIRCUIT_BREAKER_FAILURES", "3"); }),
         "Consecutive solver failures before the circuit opens", nb::int_(1), none},
        {"circuit_breaker_reset_seconds", int_type,
         factory("circuit_breaker_reset_seconds",
                 [] { return integer_setting("ORVANE_CIRCUIT_BREAKER_RESET_S", "300"); }),
         "Seconds to wait before probing a tripped solver", nb::int_(1), none},
        {"target_refresh", str_type,
         factory("target_refresh", [] { return globals.get("_resolve_target_refresh")(); }),
         "How derived design-intent targets react to a new solver image: auto (refresh on image "
         "change), keep "
         "(never refresh), ask (prompt on image change)",
         none, none},
        {"nim_port", int_type,
         factory("nim_port", [] { return integer_setting("ORVANE_DOMINO_NIM_PORT", "8040"); }),
         "Host port for the DoMINO NIM container (container-internal 8000)", nb::int_(1),
         nb::int_(65535)},
        {"nim_image", str_type,
         factory("nim_image",
                 [] { return environment("ORVANE_DOMINO_NIM_IMAGE", nb::str(kNimImage)); }),
         "DoMINO NIM Docker image (registry:tag)", none, none},
        {"nim_url", str_type,
         factory("nim_url",
                 [] {
                     nb::object url =
                         os_module.attr("environ").attr("get")("ORVANE_DOMINO_NIM_URL");
                     if (!url.is_none()) return url;
                     return nb::object(
                         py::concat("http://localhost:",
                                    nb::str(integer_setting("ORVANE_DOMINO_NIM_PORT", "8040"))));
                 }),
         "DoMINO NIM inference server URL (host-side, for health checks + auto-start)", none, none},
    };
    nb::dict annotations;
    nb::dict namespace_;
    for (const FieldSpec& field : fields) {
        annotations[field.name] = field.type;
        nb::dict options;
        options["default_factory"] = field.factory;
        options["description"] = field.description;
        if (!field.ge.is_none()) options["ge"] = field.ge;
        if (!field.le.is_none()) options["le"] = field.le;
        namespace_[field.name] = pydantic.attr("Field")(**options);
    }
    namespace_["dispatch_log"] = py::ClassBuilder::make_property(
        "dispatch_log",
        [](nb::handle self) { return self.attr("log_dir") / nb::str("dispatch.jsonl"); },
        "The dispatch journal: log_dir / dispatch.jsonl.");
    namespace_["gateway_log"] = py::ClassBuilder::make_property(
        "gateway_log",
        [](nb::handle self) { return self.attr("log_dir") / nb::str("gateway.log"); },
        "The gateway's log file: log_dir / gateway.log.");
    namespace_["__annotations__"] = annotations;
    namespace_["__module__"] = m.attr("__name__");
    namespace_["__qualname__"] = "GatewayConfig";
    namespace_["__doc__"] = "Gateway configuration — all paths and thresholds in one place.";
    nb::object base_model = pydantic.attr("BaseModel");
    // Built by pydantic's own metaclass, as a class statement would.
    return base_model.type()("GatewayConfig", nb::make_tuple(base_model), namespace_);
}

}  // namespace

NB_MODULE(gateway_config, m) {
    m.doc() = "The gateway's settings, filled from the environment.";
    globals.bind(m);
    m.attr("ORVANE_HOME") = services::paths::orvane_home.get();
    m.def(
        "_resolve_products_dir", &resolve_products_dir,
        nb::sig("def _resolve_products_dir() -> pathlib.Path"),
        R"(ORVANE_PRODUCTS_DIR as given, else ORVANE_ROOT/products, else <working folder>/products.)");
    m.def("_resolve_target_refresh", &resolve_target_refresh,
          nb::sig("def _resolve_target_refresh() -> str"),
          R"(ORVANE_TARGET_REFRESH (stripped, lower-cased), else the configuration's
          target_refresh, else 'auto'.)");
    m.attr("GatewayConfig") = build_model(m);
    nb::object build = nb::cpp_function(
        [] { return globals.get("GatewayConfig")(); }, nb::scope(m), nb::name("gateway_config"),
        nb::sig("def gateway_config() -> GatewayConfig"),
        R"(The process-wide gateway settings, built once from the environment
        (gateway_config.cache_clear() reads it again).)");
    m.attr("gateway_config") = functools_module.attr("lru_cache")(build);
}
