// quillon.gateways.qmt.kv_link: the Redis request/reply client of the Big QMT
// bridge agent, and its background listener for the agent's events.
//
// Wire protocol: a request is one JSON text RPUSHed onto <prefix>:req; the
// agent answers with one JSON text on <prefix>:res:<id>, which the client
// empties with DEL before sending and then waits on with BRPOP. Events arrive
// as JSON texts on the pub/sub channel <prefix>:events.
//
// The agent executes orders, so a request must never reach it twice: every
// request goes out exactly once and nothing is retried, whatever redis-py's
// defaults are.
#include "qn.hpp"

#include <pythread.h>

namespace {

// Cached objects: redis-py's classes and a no-retry policy, the standard
// library pieces the protocol uses, the class itself (the defining class of
// the listener's bound function), keyword-name tuples and constants.
// json_encode is JSONEncoder(ensure_ascii=False).encode, which writes what
// json.dumps(o, ensure_ascii=False) writes.
#define KV_OBJECTS(O)                                                                            \
  O(Redis) O(ConnectionPool) O(no_retry) O(RedisTimeoutError)                                    \
  O(Event) O(Thread) O(json_encode) O(json_loads) O(uuid4) O(time_time)                          \
  O(QmtKvLink)                                                                                   \
  O(kw_client) O(kw_client_pw) O(kw_timeout) O(kw_ignore) O(kw_thread) O(kw_pool)                \
  O(thread_name) O(f_listen_wait) O(f_retry_pause) O(f_join_wait) O(int_one) O(int_protocol)

#define KV_NAMES(N)                                                                                \
  N(key_prefix) N(timeout) N(_r) N(_pubsub) N(_event_thread) N(_event_handler) N(_stop_events)     \
  N(req_key) N(res_key) N(events_channel) N(call) N(stop_events) N(ping) N(id) N(op) N(params)     \
  N(ts) N(ok) N(error) N(data) N(type) N(message) N(get) N(hex) N(set) N(is_set) N(wait) N(close)  \
  N(connection_pool) N(get_connection) N(release) N(disconnect) N(pack_commands)                   \
  N(send_packed_command) N(send_command) N(read_response) N(can_read) N(socket_timeout)             \
  N(get_connection_kwargs) N(host) N(port) N(db) N(password) N(socket_connect_timeout) N(pubsub)   \
  N(subscribe) N(get_message) N(start) N(join) N(is_alive) N(ident) N(DEL) N(RPUSH) N(BRPOP)

struct State {
  QN_STATE(KV_OBJECTS, KV_NAMES)
  // Which optional Redis() keywords the installed redis-py takes.
  bool pass_protocol;
  bool pass_retry;
  bool pass_retry_on_error;
  // redis-py 5.0 wants ConnectionPool.get_connection(command_name); later
  // versions deprecate every argument.
  bool get_connection_needs_name;
};

using qn::Ref;

// ---- small helpers ----------------------------------------------------------

// Runs `f`, swallowing any Exception it raises (BaseExceptions propagate).
template <class F>
void swallow(F&& f) {
  try {
    f();
  } catch (const qn::PyError&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
  }
}

// obj.name(...) with keyword arguments: argv holds self, the positionals and
// then the keyword values in the order of `kwnames`.
Ref call_method_kw(PyObject* name, PyObject* const* argv, size_t npos_with_self, PyObject* kwnames) {
  return Ref::check(PyObject_VectorcallMethod(name, argv, npos_with_self, kwnames));
}

Ref concat(PyObject* a, const char* tail) {
  Ref t = qn::str(tail);
  return Ref::check(PyUnicode_Concat(a, t.get()));
}

// A member of a decoded reply: dict.get for objects; any other JSON value has
// no members, and reading one fails the way attribute access does.
Ref member(State& st, PyObject* msg, PyObject* name) {
  if (PyDict_CheckExact(msg)) {
    PyObject* v = PyDict_GetItemWithError(msg, name);  // borrowed
    if (!v && PyErr_Occurred()) qn::throw_error();
    return v ? Ref::borrow(v) : qn::none();
  }
  return qn::call_method(msg, st.str_get, name);
}

// A Redis client (Redis when `cls` is redis.Redis) or a connection pool (when
// it is redis.ConnectionPool) with the link's options: both take the same
// connection keywords.
Ref make_client(State& st, PyObject* cls, PyObject* host, PyObject* port, PyObject* db, PyObject* password,
                PyObject* connect_timeout, PyObject* read_timeout) {
  Ref no_errors = Ref::check(PyList_New(0));
  PyObject* argv[12];
  size_t n = 0;
  argv[n++] = host;
  argv[n++] = port;
  argv[n++] = db;
  argv[n++] = connect_timeout;
  argv[n++] = read_timeout;
  argv[n++] = Py_True;  // decode_responses
  if (st.pass_protocol) argv[n++] = st.int_protocol;
  if (st.pass_retry) argv[n++] = st.no_retry;
  if (st.pass_retry_on_error) argv[n++] = no_errors.get();
  bool with_pw = password && password != Py_None;
  if (with_pw) argv[n++] = password;
  return qn::call_kw(cls, argv, 0, with_pw ? st.kw_client_pw : st.kw_client);
}

// ---- construction -----------------------------------------------------------

constexpr char init_doc[] =
    "__init__($self, /, host='127.0.0.1', port=6379, password=None, db=5, key_prefix='quillon:qmt', "
    "timeout=10.0)\n--\n\n";
Ref QmtKvLink_init(State& st, PyObject* self, const qn::Args& a) {
  Ref host_default, prefix_default;
  PyObject* host = a[0];
  if (!host) {
    host_default = qn::str("127.0.0.1");
    host = host_default.get();
  }
  qn::exact_str(host, "host");
  Ref port = a[1] ? qn::to_int(a[1], "port") : qn::py_int(6379);
  PyObject* password = qn::str_or_none(a.get(2, Py_None), "password");
  Ref db = a[3] ? qn::to_int(a[3], "db") : qn::py_int(5);
  PyObject* prefix = a[4];
  if (!prefix) {
    prefix_default = qn::str("quillon:qmt");
    prefix = prefix_default.get();
  }
  qn::exact_str(prefix, "key_prefix");
  double timeout = a[5] ? qn::to_double(a[5], "timeout") : 10.0;

  // Every trailing ':' goes, so "p:" and "p::" name the same keys as "p".
  Py_ssize_t len = PyUnicode_GET_LENGTH(prefix);
  Py_ssize_t end = len;
  while (end > 0 && PyUnicode_READ_CHAR(prefix, end - 1) == ':') --end;
  Ref key_prefix = Ref::check(PyUnicode_Substring(prefix, 0, end));

  // min(timeout, 5.0), except that a connect timeout of zero or less (or
  // NaN) would make the socket non-blocking or invalid and no connection
  // could ever be made: the cap applies then.
  double connect = 5.0 < timeout ? 5.0 : timeout;
  if (!(connect > 0.0)) connect = 5.0;
  Ref timeout_obj = qn::py_float(timeout);
  Ref connect_obj = qn::py_float(connect);
  Ref read_obj = qn::py_float(timeout + 1.0);
  // An empty password means no AUTH at all, like None.
  PyObject* auth = password != Py_None && PyUnicode_GET_LENGTH(password) > 0 ? password : nullptr;
  Ref r = make_client(st, st.Redis, host, port.get(), db.get(), auth, connect_obj.get(), read_obj.get());
  Ref stop = qn::call(st.Event);

  qn::setattr(self, st.str_key_prefix, key_prefix.get());
  qn::setattr(self, st.str_timeout, timeout_obj.get());
  qn::setattr(self, st.str__r, r.get());
  qn::setattr(self, st.str__pubsub, Py_None);
  qn::setattr(self, st.str__event_thread, Py_None);
  qn::setattr(self, st.str__event_handler, Py_None);
  qn::setattr(self, st.str__stop_events, stop.get());
  return qn::none();
}

// ---- keys -------------------------------------------------------------------

constexpr char req_key_doc[] = "req_key($self, /)\n--\n\n";
Ref QmtKvLink_req_key(State& st, PyObject* self, const qn::Args&) {
  Ref prefix = qn::getattr(self, st.str_key_prefix);
  return concat(prefix.get(), ":req");
}

constexpr char events_channel_doc[] = "events_channel($self, /)\n--\n\n";
Ref QmtKvLink_events_channel(State& st, PyObject* self, const qn::Args&) {
  Ref prefix = qn::getattr(self, st.str_key_prefix);
  return concat(prefix.get(), ":events");
}

constexpr char res_key_doc[] = "res_key($self, /, req_id)\n--\n\n";
Ref QmtKvLink_res_key(State& st, PyObject* self, const qn::Args& a) {
  PyObject* req_id = qn::exact_str(a[0], "req_id");
  Ref prefix = qn::getattr(self, st.str_key_prefix);
  Ref head = concat(prefix.get(), ":res:");
  return Ref::check(PyUnicode_Concat(head.get(), req_id));
}

// ---- one request ------------------------------------------------------------

// The BRPOP block time: max(int(wait), 1) whole seconds, since 0 would block
// forever. Worked out before anything is sent, so a wait that int() refuses
// (NaN, the infinities) fails the call with nothing pushed.
struct Block {
  Ref seconds;     // the int sent with BRPOP
  double as_double;
};
Block block_seconds(State& st, PyObject* wait) {
  Ref block = Ref::check(PyNumber_Long(wait));
  int below_one = PyObject_RichCompareBool(block.get(), st.int_one, Py_LT);
  if (below_one < 0) qn::throw_error();
  if (below_one) block = Ref::borrow(st.int_one);
  double d = PyLong_AsDouble(block.get());
  if (d == -1.0 && PyErr_Occurred()) qn::throw_error();
  return Block{std::move(block), d};
}

// Gives a connection back after a failure: a connection with a command or a
// reply in flight must not serve the next call, so it is closed first. The
// pending error is kept.
void drop_connection(State& st, PyObject* pool, PyObject* conn) {
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  Ref r = Ref::steal(PyObject_CallMethodNoArgs(conn, st.str_disconnect));
  if (!r) PyErr_Clear();
  r = Ref::steal(PyObject_CallMethodOneArg(pool, st.str_release, conn));
  if (!r) PyErr_Clear();
  PyErr_SetRaisedException(pending.release());
}

// Sends DEL <res> + RPUSH <req> <text> in one write, reads both replies, then
// sends BRPOP <res> <block> and returns its reply (None when nothing came).
//
// The commands go straight to one pool connection rather than through
// Redis.execute_command or a Pipeline: those wrap every command in the
// connection's retry policy, which in recent redis-py re-sends on connection
// errors and timeouts (a pipeline is re-sent whole after a reconnect), and a
// re-sent RPUSH is an order placed twice. Here each command is written once,
// and any failure drops the connection and propagates.
//
// Waits longer than the connection's read timeout: the socket timeout would
// end the BRPOP with a redis TimeoutError before the server's own block time
// ran out. For those, the reply is first awaited with
// Connection.can_read(timeout=block + 1 s) (a poll on the socket, available
// in redis-py 5.0 and later); once readable, read_response() reads the reply
// under the normal socket timeout. The usual case (block + 1 s within the
// read timeout) reads directly.
Ref exchange(State& st, PyObject* self, PyObject* res_key, PyObject* req_key, PyObject* text, const Block& block) {
  Ref r = qn::getattr(self, st.str__r);
  Ref pool = qn::getattr(r.get(), st.str_connection_pool);
  Ref conn = st.get_connection_needs_name ? qn::call_method(pool.get(), st.str_get_connection, st.str_DEL)
                                          : qn::call_method(pool.get(), st.str_get_connection);
  Ref reply;
  try {
    Ref del = Ref::check(PyTuple_Pack(2, st.str_DEL, res_key));
    Ref push = Ref::check(PyTuple_Pack(3, st.str_RPUSH, req_key, text));
    Ref cmds = Ref::check(PyList_New(2));
    PyList_SET_ITEM(cmds.get(), 0, del.release());
    PyList_SET_ITEM(cmds.get(), 1, push.release());
    Ref packed = qn::call_method(conn.get(), st.str_pack_commands, cmds.get());
    qn::call_method(conn.get(), st.str_send_packed_command, packed.get());
    qn::call_method(conn.get(), st.str_read_response);
    qn::call_method(conn.get(), st.str_read_response);

    qn::call_method(conn.get(), st.str_send_command, st.str_BRPOP, res_key, block.seconds.get());
    double server_wait = block.as_double + 1.0;
    Ref sock_timeout = qn::getattr(conn.get(), st.str_socket_timeout);
    bool extend = false;
    if (sock_timeout.get() != Py_None) {
      double t = PyFloat_AsDouble(sock_timeout.get());
      if (t == -1.0 && PyErr_Occurred()) qn::throw_error();
      extend = server_wait > t;
    }
    if (extend) {
      // Polled in slices: poll() and select() refuse timeouts of many days.
      constexpr double kSlice = 86400.0;
      bool ready = false;
      for (double left = server_wait; !ready && left > 0.0; left -= kSlice) {
        Ref wait = qn::py_float(left < kSlice ? left : kSlice);
        PyObject* argv[] = {conn.get(), wait.get()};
        ready = qn::truthy(call_method_kw(st.str_can_read, argv, 1, st.kw_timeout).get());
      }
      // No answer within the server's own block time: it is hung or
      // unreachable, and a late reply must not meet the next call.
      if (!ready) qn::raise(st.RedisTimeoutError, "Timeout reading from socket");
    }
    reply = qn::call_method(conn.get(), st.str_read_response);
  } catch (const qn::PyError&) {
    drop_connection(st, pool.get(), conn.get());
    throw;
  }
  qn::call_method(pool.get(), st.str_release, conn.get());
  return reply;
}

constexpr char call_doc[] = "call($self, /, op, params=None, timeout=None)\n--\n\n";
Ref QmtKvLink_call(State& st, PyObject* self, const qn::Args& a) {
  PyObject* op = qn::exact_str(a[0], "op");
  PyObject* params = qn::dict_or_none(a.get(1, Py_None), "params");
  PyObject* timeout = a.get(2, Py_None);
  Ref wait = timeout != Py_None ? qn::py_float(qn::to_double(timeout, "timeout"))
                                : qn::getattr(self, st.str_timeout);
  Block block = block_seconds(st, wait.get());

  Ref uuid = qn::call(st.uuid4);
  Ref req_id = qn::getattr(uuid.get(), st.str_hex);
  Ref envelope = Ref::check(PyDict_New());
  Ref empty;
  if (params == Py_None || PyDict_GET_SIZE(params) == 0) {
    empty = Ref::check(PyDict_New());
    params = empty.get();
  }
  Ref ts = qn::call(st.time_time);
  if (PyDict_SetItem(envelope.get(), st.str_id, req_id.get()) < 0 ||
      PyDict_SetItem(envelope.get(), st.str_op, op) < 0 ||
      PyDict_SetItem(envelope.get(), st.str_params, params) < 0 ||
      PyDict_SetItem(envelope.get(), st.str_ts, ts.get()) < 0)
    qn::throw_error();
  // Serialised before anything is sent: a value without a JSON form fails
  // the call with nothing pushed.
  Ref text = qn::call(st.json_encode, envelope.get());

  Ref res_key = qn::call_method(self, st.str_res_key, req_id.get());
  Ref req_key = qn::getattr(self, st.str_req_key);
  Ref reply = exchange(st, self, res_key.get(), req_key.get(), text.get(), block);
  if (reply.get() == Py_None)
    qn::raise(PyExc_TimeoutError,
              "QMT Redis RPC timeout after %Ss (op=%U, id=%U). Is the Big QMT bridge agent running?", wait.get(),
              op, req_id.get());

  // BRPOP answers (list name, text).
  Ref payload = Ref::check(PySequence_GetItem(reply.get(), 1));
  Ref msg = qn::call(st.json_loads, payload.get());
  Ref ok = member(st, msg.get(), st.str_ok);
  if (!qn::truthy(ok.get())) {
    Ref err = member(st, msg.get(), st.str_error);
    if (qn::truthy(err.get())) {
      Ref exc = qn::call(PyExc_RuntimeError, err.get());
      qn::raise_obj(PyExc_RuntimeError, exc.get());
    }
    qn::raise(PyExc_RuntimeError, "RPC op=%U failed", op);
  }
  return member(st, msg.get(), st.str_data);
}

constexpr char ping_doc[] = "ping($self, /)\n--\n\n";
Ref QmtKvLink_ping(State& st, PyObject* self, const qn::Args&) {
  Ref data = qn::call_method(self, st.str_call, st.str_ping);
  if (data.get() != Py_None && !PyDict_Check(data.get()))
    qn::raise(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(data.get())->tp_name);
  return data;
}

// ---- event listener ---------------------------------------------------------

// The body of one listener thread. `stop` and `handle` belong to this
// listener alone: start_events gives every listener a fresh flag and a fresh
// subscription, so a listener that outlived stop_events' join (a slow
// handler) stays stopped and never reads the next listener's subscription.
// It also leaves as soon as the link's current handle is not its own.
constexpr char listen_doc[] = "_listen($self, /, stop, handle)\n--\n\n";
Ref QmtKvLink_listen(State& st, PyObject* self, const qn::Args& a) {
  PyObject* stop = a[0];
  PyObject* handle = a[1];
  auto superseded = [&] {
    if (qn::truthy(qn::call_method(stop, st.str_is_set).get())) return true;
    Ref current = qn::getattr_opt(self, st.str__pubsub);
    return current.get() != handle;
  };
  while (!superseded()) {
    Ref msg;
    try {
      PyObject* argv[] = {handle, st.f_listen_wait};
      msg = call_method_kw(st.str_get_message, argv, 1, st.kw_timeout);
    } catch (const qn::PyError&) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
      PyErr_Clear();
      // Connection lost (or the handle closed by stop_events). redis-py
      // reconnects and resubscribes the handle on a later read; until the
      // server is back, try again every half second, quietly.
      qn::call_method(stop, st.str_wait, st.f_retry_pause);
      continue;
    }
    if (!PyDict_Check(msg.get())) continue;
    PyObject* kind = PyDict_GetItemWithError(msg.get(), st.str_type);  // borrowed
    if (!kind) {
      if (PyErr_Occurred()) qn::throw_error();
      continue;
    }
    if (!qn::equal(kind, st.str_message)) continue;
    PyObject* data = PyDict_GetItemWithError(msg.get(), st.str_data);  // borrowed
    if (!data && PyErr_Occurred()) qn::throw_error();
    Ref event;
    try {
      event = qn::call(st.json_loads, data ? data : Py_None);
    } catch (const qn::PyError&) {
      // Not a JSON text (missing, empty, too deeply nested...): dropped.
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
      PyErr_Clear();
      continue;
    }
    if (superseded()) break;
    try {
      Ref handler = qn::getattr_opt(self, st.str__event_handler);
      if (handler && qn::truthy(handler.get())) qn::call(handler.get(), event.get());
    } catch (const qn::PyError&) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
      Ref err = Ref::steal(PyErr_GetRaisedException());
      Ref text = Ref::steal(PyObject_Str(err.get()));
      if (!text) {
        PyErr_Clear();
        text = qn::str("<str() of the error failed>");
      }
      swallow([&] {
        Ref line = Ref::check(PyUnicode_FromFormat("[QmtKvLink] event handler error: %U", text.get()));
        qn::print_line(line.get());
      });
    }
  }
  return qn::none();
}

PyMethodDef listen_def = QN_METHOD(State, "_listen", QmtKvLink_listen, listen_doc);

// A fresh subscription handle on a connection pool of its own, configured
// like the link's connection.
Ref new_subscription(State& st, PyObject* self) {
  Ref r = qn::getattr(self, st.str__r);
  Ref kw = qn::call_method(r.get(), st.str_get_connection_kwargs);
  auto item = [&](PyObject* name) -> Ref {
    Ref v = Ref::check(PyObject_GetItem(kw.get(), name));
    return v;
  };
  Ref host = item(st.str_host), port = item(st.str_port), db = item(st.str_db);
  Ref password = item(st.str_password);
  Ref connect = item(st.str_socket_connect_timeout), read = item(st.str_socket_timeout);
  Ref pool = make_client(st, st.ConnectionPool, host.get(), port.get(), db.get(), password.get(), connect.get(),
                         read.get());
  PyObject* pool_argv[] = {pool.get()};
  Ref client = qn::call_kw(st.Redis, pool_argv, 0, st.kw_pool);
  PyObject* argv[] = {client.get(), Py_True};
  return call_method_kw(st.str_pubsub, argv, 1, st.kw_ignore);
}

// Closes a subscription handle and every connection of its private pool.
void close_subscription(State& st, PyObject* handle) {
  swallow([&] { qn::call_method(handle, st.str_close); });
  swallow([&] {
    Ref pool = qn::getattr(handle, st.str_connection_pool);
    qn::call_method(pool.get(), st.str_disconnect);
  });
}

constexpr char stop_events_doc[] = "stop_events($self, /)\n--\n\n";
Ref QmtKvLink_stop_events(State& st, PyObject* self, const qn::Args&) {
  Ref stop = qn::getattr(self, st.str__stop_events);
  qn::call_method(stop.get(), st.str_set);
  Ref handle = qn::getattr(self, st.str__pubsub);
  if (handle.get() != Py_None) {
    swallow([&] { qn::call_method(handle.get(), st.str_close); });
    qn::setattr(self, st.str__pubsub, Py_None);
  }
  Ref thread = qn::getattr(self, st.str__event_thread);
  if (thread.get() != Py_None && qn::truthy(qn::call_method(thread.get(), st.str_is_alive).get())) {
    // A handler may stop its own listener; a thread cannot join itself, and
    // it leaves by itself once the handler returns.
    Ref ident = qn::getattr(thread.get(), st.str_ident);
    Ref me = Ref::check(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
    if (!qn::equal(ident.get(), me.get())) qn::call_method(thread.get(), st.str_join, st.f_join_wait);
  }
  // Once the listener has left, nothing can reopen the subscription's
  // connections: close what its last read may have reconnected.
  if (handle.get() != Py_None) close_subscription(st, handle.get());
  qn::setattr(self, st.str__event_thread, Py_None);
  qn::setattr(self, st.str__event_handler, Py_None);
  return qn::none();
}

constexpr char start_events_doc[] =
    "start_events($self, /, handler)\n--\n\n"
    "Subscribe to bridge events on a background thread.";
Ref QmtKvLink_start_events(State& st, PyObject* self, const qn::Args& a) {
  PyObject* handler = a[0];
  if (handler != Py_None && !PyCallable_Check(handler)) qn::raise_arg_type("handler", "callable", handler);
  qn::call_method(self, st.str_stop_events);
  qn::setattr(self, st.str__event_handler, handler);
  Ref stop = qn::call(st.Event);
  qn::setattr(self, st.str__stop_events, stop.get());
  Ref handle = new_subscription(st, self);
  qn::setattr(self, st.str__pubsub, handle.get());
  try {
    Ref channel = qn::getattr(self, st.str_events_channel);
    qn::call_method(handle.get(), st.str_subscribe, channel.get());
    Ref target = Ref::check(PyCMethod_New(&listen_def, self, nullptr, reinterpret_cast<PyTypeObject*>(st.QmtKvLink)));
    Ref args = Ref::check(PyTuple_Pack(2, stop.get(), handle.get()));
    PyObject* argv[] = {target.get(), args.get(), st.thread_name, Py_True};
    Ref thread = qn::call_kw(st.Thread, argv, 0, st.kw_thread);
    qn::setattr(self, st.str__event_thread, thread.get());
    qn::call_method(thread.get(), st.str_start);
  } catch (const qn::PyError&) {
    // No listener runs: leave no half-open subscription behind.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    close_subscription(st, handle.get());
    if (PyObject_SetAttr(self, st.str__pubsub, Py_None) < 0) PyErr_Clear();
    if (PyObject_SetAttr(self, st.str__event_thread, Py_None) < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
    throw;
  }
  return qn::none();
}

constexpr char close_doc[] = "close($self, /)\n--\n\n";
Ref QmtKvLink_close(State& st, PyObject* self, const qn::Args&) {
  qn::call_method(self, st.str_stop_events);
  swallow([&] {
    Ref r = qn::getattr(self, st.str__r);
    qn::call_method(r.get(), st.str_close);
    // redis-py 5 closes only a single-connection client's connection here;
    // the pool's idle connections are closed explicitly.
    Ref pool = qn::getattr(r.get(), st.str_connection_pool);
    qn::call_method(pool.get(), st.str_disconnect);
  });
  return qn::none();
}

PyMethodDef init_def = QN_METHOD(State, "__init__", QmtKvLink_init, init_doc);
PyMethodDef req_key_def = QN_METHOD(State, "req_key", QmtKvLink_req_key, req_key_doc);
PyMethodDef events_channel_def = QN_METHOD(State, "events_channel", QmtKvLink_events_channel, events_channel_doc);
PyMethodDef res_key_def = QN_METHOD(State, "res_key", QmtKvLink_res_key, res_key_doc);
PyMethodDef call_def = QN_METHOD(State, "call", QmtKvLink_call, call_doc);
PyMethodDef ping_def = QN_METHOD(State, "ping", QmtKvLink_ping, ping_doc);
PyMethodDef start_events_def = QN_METHOD(State, "start_events", QmtKvLink_start_events, start_events_doc);
PyMethodDef stop_events_def = QN_METHOD(State, "stop_events", QmtKvLink_stop_events, stop_events_doc);
PyMethodDef close_def = QN_METHOD(State, "close", QmtKvLink_close, close_doc);

// ---- module -----------------------------------------------------------------

// `import redis`, or the ImportError that tells how to install it, chained
// to the original error as `raise ImportError(msg) from e` does.
Ref import_redis() {
  PyObject* m = PyImport_ImportModule("redis");
  if (m) return Ref::steal(m);
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) qn::throw_error();
  Ref cause = Ref::steal(PyErr_GetRaisedException());
  Ref msg = qn::str("redis is required for the QMT gateway. Install with: pip install quillon[qmt]");
  Ref exc = qn::call(PyExc_ImportError, msg.get());
  PyException_SetContext(exc.get(), cause.dup().release());
  PyException_SetCause(exc.get(), cause.release());  // also sets __suppress_context__
  qn::raise_obj(PyExc_ImportError, exc.get());
}

bool takes_keyword(PyObject* params, const char* name) {
  int r = PySequence_Contains(params, qn::str(name).get());
  if (r < 0) qn::throw_error();
  return r == 1;
}

PyMethodDef methods[] = {QN_END_METHODS};

constexpr char class_doc[] = "Thin Redis request/reply + optional event subscriber.";

void init(PyObject* module, State& st) {
  Ref redis = import_redis();
  qn::keep(st.Redis, qn::getattr(redis.get(), qn::intern("Redis").get()));
  qn::keep(st.ConnectionPool, qn::getattr(redis.get(), qn::intern("ConnectionPool").get()));
  qn::keep(st.RedisTimeoutError, qn::import_from("redis.exceptions", "TimeoutError"));
  Ref retry_cls = qn::import_from("redis.retry", "Retry");
  Ref no_backoff = qn::call(qn::import_from("redis.backoff", "NoBackoff").get());
  Ref zero = qn::py_int(0);
  qn::keep(st.no_retry, qn::call(retry_cls.get(), no_backoff.get(), zero.get()));

  // What the installed redis-py accepts: `retry` and `retry_on_error` exist
  // from 5.0 on; `retry_on_timeout` is not passed (False by default in every
  // version, deprecated since 6) since Retry(NoBackoff(), 0) already retries
  // nothing, timeouts included.
  Ref signature = qn::import_from("inspect", "signature");
  Ref redis_init = qn::getattr(st.Redis, qn::intern("__init__").get());
  Ref params = qn::getattr(qn::call(signature.get(), redis_init.get()).get(), qn::intern("parameters").get());
  st.pass_protocol = takes_keyword(params.get(), "protocol");
  st.pass_retry = takes_keyword(params.get(), "retry");
  st.pass_retry_on_error = takes_keyword(params.get(), "retry_on_error");
  Ref names = Ref::check(PyList_New(0));
  for (const char* n : {"host", "port", "db", "socket_connect_timeout", "socket_timeout", "decode_responses"})
    if (PyList_Append(names.get(), qn::intern(n).get()) < 0) qn::throw_error();
  if (st.pass_protocol && PyList_Append(names.get(), qn::intern("protocol").get()) < 0) qn::throw_error();
  if (st.pass_retry && PyList_Append(names.get(), qn::intern("retry").get()) < 0) qn::throw_error();
  if (st.pass_retry_on_error && PyList_Append(names.get(), qn::intern("retry_on_error").get()) < 0)
    qn::throw_error();
  qn::keep(st.kw_client, Ref::check(PyList_AsTuple(names.get())));
  if (PyList_Append(names.get(), qn::intern("password").get()) < 0) qn::throw_error();
  qn::keep(st.kw_client_pw, Ref::check(PyList_AsTuple(names.get())));

  Ref get_connection = qn::getattr(st.ConnectionPool, st.str_get_connection);
  Ref gc_params = qn::getattr(qn::call(signature.get(), get_connection.get()).get(), qn::intern("parameters").get());
  Ref command_name = Ref::steal(PyMapping_GetItemString(gc_params.get(), "command_name"));
  if (!command_name) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) qn::throw_error();
    PyErr_Clear();
  } else {
    Ref dflt = qn::getattr(command_name.get(), qn::intern("default").get());
    Ref empty = qn::getattr(command_name.get(), qn::intern("empty").get());
    st.get_connection_needs_name = dflt.get() == empty.get();
  }

  qn::keep(st.Event, qn::import_from("threading", "Event"));
  qn::keep(st.Thread, qn::import_from("threading", "Thread"));
  Ref encoder_cls = qn::import_from("json", "JSONEncoder");
  PyObject* enc_argv[] = {Py_False};
  Ref encoder = qn::call_kw(encoder_cls.get(), enc_argv, 0, qn::name_tuple({"ensure_ascii"}).get());
  qn::keep(st.json_encode, qn::getattr(encoder.get(), qn::intern("encode").get()));
  qn::keep(st.json_loads, qn::import_from("json", "loads"));
  qn::keep(st.uuid4, qn::import_from("uuid", "uuid4"));
  qn::keep(st.time_time, qn::import_from("time", "time"));

  qn::keep(st.kw_timeout, qn::name_tuple({"timeout"}));
  qn::keep(st.kw_ignore, qn::name_tuple({"ignore_subscribe_messages"}));
  qn::keep(st.kw_thread, qn::name_tuple({"target", "args", "name", "daemon"}));
  qn::keep(st.kw_pool, qn::name_tuple({"connection_pool"}));
  qn::keep(st.thread_name, qn::str("qmt-redis-events"));
  qn::keep(st.f_listen_wait, qn::py_float(1.0));
  qn::keep(st.f_retry_pause, qn::py_float(0.5));
  qn::keep(st.f_join_wait, qn::py_float(2.0));
  qn::keep(st.int_one, qn::py_int(1));
  qn::keep(st.int_protocol, qn::py_int(2));

  // EventHandler = Callable[[Dict[str, Any]], None]
  Ref typing = qn::import("typing");
  Ref dict_args = Ref::check(PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyUnicode_Type),
                                          qn::getattr(typing.get(), qn::intern("Any").get()).get()));
  Ref dict_t = Ref::check(PyObject_GetItem(qn::getattr(typing.get(), qn::intern("Dict").get()).get(), dict_args.get()));
  Ref arg_list = Ref::check(PyList_New(1));
  PyList_SET_ITEM(arg_list.get(), 0, dict_t.release());
  Ref callable_args = Ref::check(PyTuple_Pack(2, arg_list.get(), Py_None));
  Ref handler_t =
      Ref::check(PyObject_GetItem(qn::getattr(typing.get(), qn::intern("Callable").get()).get(), callable_args.get()));
  qn::add_object(module, "EventHandler", handler_t.get());

  PyObject* base = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
  qn::keep(st.QmtKvLink, qn::ClassBuilder(module, "QmtKvLink", base, class_doc)
                             .member(&init_def)
                             .property(&req_key_def)
                             .member(&res_key_def)
                             .property(&events_channel_def)
                             .member(&call_def)
                             .member(&ping_def)
                             .member(&start_events_def)
                             .member(&stop_events_def)
                             .member(&close_def)
                             .build());
}

}  // namespace

QN_MODULE(kv_link, State, nullptr, methods, init)
