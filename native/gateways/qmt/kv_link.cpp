// Placeholder until the module is written.
#include "qn.hpp"
namespace {
#define ST_OBJECTS(O)
#define ST_NAMES(N)
struct State { QN_STATE(ST_OBJECTS, ST_NAMES) };
PyMethodDef methods[] = {QN_END_METHODS};
void init(PyObject*, State&) {}
}  // namespace
QN_MODULE(kv_link, State, "placeholder", methods, init)
