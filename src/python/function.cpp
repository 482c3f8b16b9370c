#include "python/function.hpp"

#include "python/error.hpp"

namespace vse::py {

Result<Ref> function_object(PyMethodDef* def) {
    VSE_TRY(Ref module_name, checked(PyUnicode_FromString(kModuleName)));
    return checked(PyCFunction_NewEx(def, nullptr, module_name.get()));
}

}  // namespace vse::py
