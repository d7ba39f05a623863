// quillon.gateways.cqg.futures_charges: the fee model of futures traded
// through the CQG connection.
#include "fees.hpp"
#include "qn.hpp"

namespace {

#define FUT_OBJECTS(O) O(BaseFees)
#define FUT_NAMES(N) QN_FEE_NAMES(N)

struct State {
  QN_STATE(FUT_OBJECTS, FUT_NAMES)
};

using qn::Num;
using qn::Ref;

constexpr char init_doc[] = "__init__($self, /, *deals)\n--\n\n";
Ref FuturesCharges_init(State& st, PyObject* self, const qn::Args& a) {
  // Unlike the other models, the charges start from local integer zeros.
  Num commissions = Num::of_int(0);
  const Num zero = Num::of_int(0);
  for (Py_ssize_t k = 0; k < a.rest_count(); ++k)
    commissions += Num::of_float(1.92) * qn::attr_num(a.rest()[k], st.str_filled_quantity);
  Num total = commissions + zero + zero + zero + zero + zero + zero;
  qn::set_num(self, st.str_commissions, commissions);
  PyObject* const untouched[] = {st.str_platform_fees, st.str_system_fees, st.str_settlement_fees,
                                 st.str_stamp_fees, st.str_trade_fees, st.str_transaction_fees};
  for (PyObject* name : untouched) qn::set_num(self, name, zero);
  qn::set_num(self, st.str_total_fees, total);
  return qn::none();
}

PyMethodDef init_def = QN_METHOD(State, "__init__", FuturesCharges_init, init_doc);
PyMethodDef methods[] = {QN_END_METHODS};

void init(PyObject* module, State& st) {
  qn::keep(st.BaseFees, qn::import_from("quillon.gateways.base_gateway", "BaseFees"));
  qn::ClassBuilder(module, "FuturesCharges", st.BaseFees, "CQG fee model").member(&init_def).build();
}

}  // namespace

QN_MODULE(futures_charges, State, "Fee model for futures traded through CQG.", methods, init)
