// quillon.gateways.qmt.ashare_charges: the mainland A-share fee model.
#include "fees.hpp"
#include "qn.hpp"

namespace {

#define ASHARE_OBJECTS(O) O(BaseFees) O(Direction_SHORT)
#define ASHARE_NAMES(N) \
  QN_FEE_NAMES(N) N(direction) N(COMMISSION_RATE) N(COMMISSION_MIN) N(STAMP_RATE) N(TRANSFER_RATE)

struct State {
  QN_STATE(ASHARE_OBJECTS, ASHARE_NAMES)
};

using F = qn::FeeFields;
using qn::Num;
using qn::Ref;

constexpr char init_doc[] = "__init__($self, /, *deals)\n--\n\n";
Ref AshareChargesCN_init(State& st, PyObject* self, const qn::Args& a) {
  F fees(st);
  fees.load(self);
  qn::Rate commission_rate(self, st.str_COMMISSION_RATE), commission_min(self, st.str_COMMISSION_MIN),
      transfer_rate(self, st.str_TRANSFER_RATE), stamp_rate(self, st.str_STAMP_RATE);
  for (Py_ssize_t i = 0; i < a.rest_count(); ++i) {
    PyObject* deal = a.rest()[i];
    Num amount = qn::fill_amount(st, deal);
    fees[F::total_number_of_trades] += Num::of_int(1);
    fees[F::total_trade_amount] += amount;
    // The minimum applies to each fill, not to the order.
    fees[F::commissions] += qn::max_of(commission_rate.get() * amount, commission_min.get());
    fees[F::trade_fees] += transfer_rate.get() * amount;
    Ref direction = qn::getattr(deal, st.str_direction);
    if (qn::equal(direction.get(), st.Direction_SHORT)) fees[F::stamp_fees] += stamp_rate.get() * amount;
  }
  fees[F::commissions] = fees[F::commissions].round(2);
  fees[F::trade_fees] = fees[F::trade_fees].round(2);
  // Stamp duty is rounded up to the cent once, on the order's sum.
  fees[F::stamp_fees] = (fees[F::stamp_fees] * Num::of_int(100)).ceil() / Num::of_int(100);
  fees.store(self);
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
