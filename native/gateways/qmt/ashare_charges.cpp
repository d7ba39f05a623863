// quillon.gateways.qmt.ashare_charges: the mainland A-share fee model.
#include "qn.hpp"

namespace {

#define ASHARE_OBJECTS(O) O(BaseFees) O(Direction_SHORT)
#define ASHARE_NAMES(N)                                                                              \
  N(filled_avg_price) N(filled_quantity) N(direction) N(COMMISSION_RATE) N(COMMISSION_MIN)          \
  N(STAMP_RATE) N(TRANSFER_RATE) N(commissions) N(platform_fees) N(system_fees) N(settlement_fees) \
  N(stamp_fees) N(trade_fees) N(transaction_fees) N(total_fees) N(total_trade_amount)             \
  N(total_number_of_trades)

struct State {
  QN_STATE(ASHARE_OBJECTS, ASHARE_NAMES)
};

using qn::Num;
using qn::Ref;

Num attr_num(PyObject* o, PyObject* name) { return Num::of(qn::getattr(o, name).get()); }
void set_num(PyObject* o, PyObject* name, const Num& v) { qn::setattr(o, name, v.py().get()); }

constexpr char init_doc[] = "__init__($self, /, *deals)\n--\n\n";
Ref AshareChargesCN_init(State& st, PyObject* self, const qn::Args& a) {
  // The fields start from what BaseFees (or a subclass) supplies.
  Num commissions = attr_num(self, st.str_commissions);
  Num trade_fees = attr_num(self, st.str_trade_fees);
  Num stamp_fees = attr_num(self, st.str_stamp_fees);
  Num total_amount = attr_num(self, st.str_total_trade_amount);
  Num n_trades = attr_num(self, st.str_total_number_of_trades);
  for (Py_ssize_t i = 0; i < a.rest_count(); ++i) {
    PyObject* deal = a.rest()[i];
    Num amount = attr_num(deal, st.str_filled_avg_price) * attr_num(deal, st.str_filled_quantity);
    n_trades += Num::of_int(1);
    total_amount += amount;
    // Rates are read through the instance on every use, so overrides apply.
    commissions += qn::max_of(attr_num(self, st.str_COMMISSION_RATE) * amount, attr_num(self, st.str_COMMISSION_MIN));
    trade_fees += attr_num(self, st.str_TRANSFER_RATE) * amount;
    Ref direction = qn::getattr(deal, st.str_direction);
    if (qn::equal(direction.get(), st.Direction_SHORT)) stamp_fees += attr_num(self, st.str_STAMP_RATE) * amount;
  }
  set_num(self, st.str_total_number_of_trades, n_trades);
  set_num(self, st.str_total_trade_amount, total_amount);
  set_num(self, st.str_commissions, commissions.round(2));
  set_num(self, st.str_trade_fees, trade_fees.round(2));
  // Stamp duty is rounded up to the cent once, on the order's sum.
  set_num(self, st.str_stamp_fees, (stamp_fees * Num::of_int(100)).ceil() / Num::of_int(100));
  PyObject* fields[] = {st.str_commissions, st.str_platform_fees, st.str_system_fees, st.str_settlement_fees,
                        st.str_stamp_fees,  st.str_trade_fees,    st.str_transaction_fees};
  Num total = attr_num(self, fields[0]);
  for (size_t i = 1; i < sizeof fields / sizeof fields[0]; ++i) total = total + attr_num(self, fields[i]);
  set_num(self, st.str_total_fees, total);
  return qn::none();
}

PyMethodDef init_def = QN_METHOD(State, "__init__", AshareChargesCN_init, init_doc);

constexpr char class_doc[] =
    "Simplified mainland A-share fee model (broker schedules vary).\n"
    "\n"
    "Commission: 0.025% of notional, min CNY 5\n"
    "Stamp duty: 0.05% of notional on sells only (current CN policy)\n"
    "Transfer fee: 0.001% of notional (SSE/SZSE)\n";

PyMethodDef methods[] = {QN_END_METHODS};

void init(PyObject* module, State& st) {
  qn::keep(st.BaseFees, qn::import_from("quillon.gateways.base_gateway", "BaseFees"));
  Ref direction = qn::import_from("quillon.core.constants", "Direction");
  qn::keep(st.Direction_SHORT, qn::getattr(direction.get(), qn::intern("SHORT").get()));
  qn::ClassBuilder(module, "AshareChargesCN", st.BaseFees, class_doc)
      .attr("COMMISSION_RATE", qn::py_float(0.00025))
      .attr("COMMISSION_MIN", qn::py_float(5.0))
      .attr("STAMP_RATE", qn::py_float(0.0005))
      .attr("TRANSFER_RATE", qn::py_float(1e-05))
      .member(&init_def)
      .build();
}

}  // namespace

QN_MODULE(ashare_charges, State, "China A-share fee model placeholder for MainlandGateway.", methods, init)
