// quillon.gateways.futu.hk_charges: fee models of Futu Securities (Hong Kong)
// accounts: Hong Kong stocks, Hong Kong futures and crypto spot.
#include "fees.hpp"
#include "qn.hpp"

namespace {

#define HK_OBJECTS(O) O(BaseFees)
#define HK_NAMES(N) \
  QN_FEE_NAMES(N) N(security) N(lot_size) N(COMMISSION_RATE) N(PLATFORM_FEE_RATE) N(PLATFORM_FEE_MIN_USD)

struct State {
  QN_STATE(HK_OBJECTS, HK_NAMES)
};

using F = qn::FeeFields;
using qn::attr_num;
using qn::max_of;
using qn::Num;
using qn::Ref;

Num f(double d) { return Num::of_float(d); }
Num i(long long v) { return Num::of_int(v); }

constexpr char init_doc[] = "__init__($self, /, *deals)\n--\n\n";

// ---- Hong Kong stocks -------------------------------------------------------

constexpr char sehk_doc[] =
    "富途证券（香港）港股收费：港股融资融券（8332）套餐一（适合一般交易者）\n"
    "\n"
    "套餐一（适合一般交易者）\n"
    "    佣金：成交金额 × 0.03%，最低 3 港元/笔\n"
    "    平台使用费：15 港元/笔\n"
    "\n"
    "套餐二（适合高频交易者）\n"
    "    佣金：成交金额 × 0.03%，最低 3 港元/笔\n"
    "    平台使用费：按自然月累计订单笔数阶梯收取\n"
    "        1-5 笔：30 港元/笔\n"
    "        6-20 笔：15 港元/笔\n"
    "        21-50 笔：10 港元/笔\n"
    "        51-100 笔：9 港元/笔\n"
    "        101-500 笔：8 港元/笔\n"
    "        501-1000 笔：7 港元/笔\n"
    "        1001-2000 笔：6 港元/笔\n"
    "        2001-3000 笔：5 港元/笔\n"
    "        3001-4000 笔：4 港元/笔\n"
    "        4001-5000 笔：3 港元/笔\n"
    "        5001-6000 笔：2 港元/笔\n"
    "        6001 笔及以上：1 港元/笔\n"
    "\n"
    "第三方收费（两个套餐相同）\n"
    "    交易系统使用费（香港交易所）：0.50 港元/笔\n"
    "    交收费（香港结算所）：成交金额 × 0.002%，最低 2 港元，最高 100 港元\n"
    "    印花税（香港政府）：成交金额 × 0.13%，不足 1 港元按 1 港元计，窝轮、牛熊证免收\n"
    "    交易费（香港交易所）：成交金额 × 0.005%，最低 0.01 港元\n"
    "    证监会交易征费（香港证监会）：成交金额 × 0.0027%，最低 0.01 港元\n"
    "\n"
    "融资利率：年化 6.8%（按日计息）\n"
    "\n"
    "本模型按套餐一计算；不计套餐二的阶梯平台费，对所有成交收取印花税，不计融资利息。\n";

Ref HkChargesSEHK_init(State& st, PyObject* self, const qn::Args& a) {
  F fees(st);
  fees.load(self);
  for (Py_ssize_t k = 0; k < a.rest_count(); ++k) {
    Num amount = qn::fill_amount(st, a.rest()[k]);
    fees[F::total_number_of_trades] += i(1);
    fees[F::total_trade_amount] += amount;
    fees[F::system_fees] += f(0.5);  // flat per fill
    Num settlement_fee = f(2e-05) * amount;
    if (greater(f(2.0), settlement_fee)) {
      settlement_fee = f(2.0);
    } else if (greater(settlement_fee, f(100.0))) {
      settlement_fee = f(100.0);
    }
    fees[F::settlement_fees] += settlement_fee.round(2);
    fees[F::stamp_fees] += (f(0.0013) * amount).ceil();  // whole dollars, rounded up per fill
    fees[F::trade_fees] += max_of(f(5e-05) * amount, f(0.01)).round(2);
    fees[F::transaction_fees] += max_of(f(2.7e-05) * amount, f(0.01)).round(2);
  }
  // Commission once per order, on the order's total amount.
  fees[F::commissions] += max_of(f(0.0003) * fees[F::total_trade_amount], i(3));
  fees[F::commissions] = fees[F::commissions].round(2);
  fees[F::platform_fees] = i(15);
  fees.store(self);
  return qn::none();
}

// ---- Hong Kong futures -----------------------------------------------------

constexpr char hkfe_doc[] =
    "富途证券（香港）期货收费：综合期货账户（6463）\n"
    "\n"
    "香港期货（港元合约）\n"
    "    佣金：2 港元/张\n"
    "    平台使用费：5 港元/张\n"
    "    交易所交易费（香港交易所）：3 港元/张\n"
    "    证监会征费（香港证监会）：0.1 港元/张\n"
    "    交易系统使用费：不适用\n"
    "    交收费：不适用\n"
    "    印花税：不适用\n"
    "\n"
    "合约张数 = 成交数量 / 每手数量（不足一张的部分不计）。\n";

Ref HkChargesHKFE_init(State& st, PyObject* self, const qn::Args& a) {
  F fees(st);
  fees.load(self);
  Num contracts = i(0);
  for (Py_ssize_t k = 0; k < a.rest_count(); ++k) {
    PyObject* deal = a.rest()[k];
    Num size = attr_num(deal, st.str_filled_quantity);
    Ref security = qn::getattr(deal, st.str_security);
    Num lot = attr_num(security.get(), st.str_lot_size);
    Num num_of_contracts = (size / lot).trunc();  // a part-lot remainder is dropped
    fees[F::trade_fees] += (f(3.0) * num_of_contracts).to_float();
    fees[F::transaction_fees] += (f(0.1) * num_of_contracts).to_float();
    contracts += num_of_contracts;
  }
  // The schedule is per contract, so commission and platform fee are charged
  // on the contracts of all the fills (none for an order without fills).
  fees[F::commissions] += (contracts * f(2.0)).to_float();
  fees[F::platform_fees] = (contracts * f(5.0)).to_float();
  fees.store(self);
  return qn::none();
}

// ---- crypto spot -----------------------------------------------------------

constexpr char crypto_doc[] =
    "Futu Securities (Hong Kong) cryptocurrency spot fees.\n"
    "\n"
    "Fee schedule as of 2025-11:\n"
    "    Commission: waived (0%)\n"
    "    Platform usage fee: 0.08% of the trade amount, minimum USD 1.99 or HKD 15 per order\n"
    "    Deposit fee: waived\n"
    "    Withdrawal fee: on-chain network fees apply (not modelled)\n"
    "\n"
    "USD pairs (e.g. CC.BTCUSD / CC.ETHUSD) use the USD 1.99 floor.\n";

Ref HkChargesCrypto_init(State& st, PyObject* self, const qn::Args& a) {
  F fees(st);
  fees.load(self);
  qn::Rate commission_rate(self, st.str_COMMISSION_RATE), platform_rate(self, st.str_PLATFORM_FEE_RATE),
      platform_min(self, st.str_PLATFORM_FEE_MIN_USD);
  for (Py_ssize_t k = 0; k < a.rest_count(); ++k) {
    Num amount = qn::fill_amount(st, a.rest()[k]);
    fees[F::total_number_of_trades] += i(1);
    fees[F::total_trade_amount] += amount;
    fees[F::commissions] += commission_rate.get() * amount;
    fees[F::platform_fees] += max_of(platform_rate.get() * amount, platform_min.get());
  }
  // Eight places: crypto amounts are coin-sized.
  fees[F::commissions] = fees[F::commissions].round(8);
  fees[F::platform_fees] = fees[F::platform_fees].round(8);
  fees.store(self);
  return qn::none();
}

PyMethodDef sehk_init = QN_METHOD(State, "__init__", HkChargesSEHK_init, init_doc);
PyMethodDef hkfe_init = QN_METHOD(State, "__init__", HkChargesHKFE_init, init_doc);
PyMethodDef crypto_init = QN_METHOD(State, "__init__", HkChargesCrypto_init, init_doc);

PyMethodDef methods[] = {QN_END_METHODS};

void init(PyObject* module, State& st) {
  qn::keep(st.BaseFees, qn::import_from("quillon.gateways.base_gateway", "BaseFees"));
  qn::ClassBuilder(module, "HkChargesSEHK", st.BaseFees, sehk_doc).member(&sehk_init).build();
  qn::ClassBuilder(module, "HkChargesHKFE", st.BaseFees, hkfe_doc).member(&hkfe_init).build();
  qn::ClassBuilder(module, "HkChargesCrypto", st.BaseFees, crypto_doc)
      .attr("COMMISSION_RATE", qn::py_float(0.0))
      .attr("PLATFORM_FEE_RATE", qn::py_float(0.0008))
      .attr("PLATFORM_FEE_MIN_USD", qn::py_float(1.99))
      .member(&crypto_init)
      .build();
}

}  // namespace

QN_MODULE(hk_charges, State, "Fee models for Futu Securities (Hong Kong) accounts.", methods, init)
