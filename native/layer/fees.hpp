// The frame the fee models share: the ten result fields, the fill amount and
// the left-to-right total. A module lists QN_FEE_NAMES in its state names.
#pragma once

#include "num.hpp"
#include "pyapi.hpp"

#define QN_FEE_NAMES(N)                                                                        \
  N(filled_avg_price) N(filled_quantity) N(commissions) N(platform_fees) N(system_fees)        \
  N(settlement_fees) N(stamp_fees) N(trade_fees) N(transaction_fees) N(total_fees)             \
  N(total_trade_amount) N(total_number_of_trades)

namespace qn {

inline Num attr_num(PyObject* o, PyObject* name) { return Num::of(getattr(o, name).get()); }
inline void set_num(PyObject* o, PyObject* name, const Num& v) { setattr(o, name, v.py().get()); }

/// deal.filled_avg_price * deal.filled_quantity.
template <class State>
Num fill_amount(State& st, PyObject* deal) {
  return attr_num(deal, st.str_filled_avg_price) * attr_num(deal, st.str_filled_quantity);
}

/// A model's fields, read once from the instance (so the BaseFees zeros, or a
/// subclass's own starting values, are where the sums start) and written back
/// once at the end: the values the framework reads are the same as when every
/// fill reads, adds and writes back.
struct FeeFields {
  enum Field {
    commissions, platform_fees, system_fees, settlement_fees, stamp_fees, trade_fees,
    transaction_fees, total_fees, total_trade_amount, total_number_of_trades, kCount
  };

  template <class State>
  explicit FeeFields(State& st)
      : names{st.str_commissions,      st.str_platform_fees, st.str_system_fees,
              st.str_settlement_fees,  st.str_stamp_fees,    st.str_trade_fees,
              st.str_transaction_fees, st.str_total_fees,    st.str_total_trade_amount,
              st.str_total_number_of_trades} {}

  /// Reads the starting values from the instance.
  void load(PyObject* self) {
    for (int f = 0; f < kCount; ++f)
      if (f != total_fees) v[f] = attr_num(self, names[f]);
  }
  Num& operator[](Field f) {
    dirty[f] = true;
    return v[f];
  }
  /// Sets total_fees (the seven charges, left to right) and writes back
  /// every field the model touched, in field order.
  void store(PyObject* self) {
    Num total = v[commissions];
    for (int f = platform_fees; f <= transaction_fees; ++f) total = total + v[f];
    (*this)[total_fees] = total;
    for (int f = 0; f < kCount; ++f)
      if (dirty[f]) set_num(self, names[f], v[f]);
  }

 private:
  PyObject* names[kCount];
  Num v[kCount];
  bool dirty[kCount] = {};
};

/// A class attribute read through the instance on first use and kept for
/// the rest of one construction, so subclass and instance overrides apply.
class Rate {
 public:
  Rate(PyObject* self, PyObject* name) : self_(self), name_(name) {}
  const Num& get() {
    if (!loaded_) {
      v_ = attr_num(self_, name_);
      loaded_ = true;
    }
    return v_;
  }

 private:
  PyObject* self_;
  PyObject* name_;
  bool loaded_ = false;
  Num v_;
};

}  // namespace qn
