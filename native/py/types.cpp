#include "native/py/types.h"

namespace orvane::py {

namespace {
nb::handle borrowed_type(PyTypeObject* type) { return reinterpret_cast<PyObject*>(type); }
}  // namespace

nb::handle type_type() { return borrowed_type(&PyType_Type); }
nb::handle str_type() { return borrowed_type(&PyUnicode_Type); }
nb::handle int_type() { return borrowed_type(&PyLong_Type); }
nb::handle float_type() { return borrowed_type(&PyFloat_Type); }
nb::handle bool_type() { return borrowed_type(&PyBool_Type); }
nb::handle list_type() { return borrowed_type(&PyList_Type); }
nb::handle dict_type() { return borrowed_type(&PyDict_Type); }
nb::handle property_type() { return borrowed_type(&PyProperty_Type); }
nb::handle staticmethod_type() { return borrowed_type(&PyStaticMethod_Type); }
nb::handle classmethod_type() { return borrowed_type(&PyClassMethod_Type); }

}  // namespace orvane::py
