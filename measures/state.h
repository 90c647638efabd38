// The state of a signal's measures where a run stops, saved as bytes and
// loaded where the next run goes on: each measure lists its members once,
// in one function that both saves and loads them.

#ifndef QUILLON_MEASURES_STATE_H_
#define QUILLON_MEASURES_STATE_H_

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

/// Saves values into a text of bytes, or loads them back from one, in the
/// order they are given: a class with members lists them as
/// `void state(StateIO& io) { io(a_, b_, c_); }`. Values of no pointer and
/// no container are taken as their bytes; strings, vectors, maps, pairs,
/// arrays and unique pointers member by member.
class StateIO {
 public:
  /// Saves into *out, appending.
  explicit StateIO(std::string* out) : out_(out) {}

  /// Loads from `in`.
  explicit StateIO(std::string_view in) : in_(in) {}

  /// Whether it loads rather than saves.
  bool loading() const { return out_ == nullptr; }

  /// False once a load ran past the end of its text or met a size larger
  /// than what is left: what it loaded is then not the state saved.
  bool ok() const { return ok_; }

  /// Whether a load took all of its text.
  bool at_end() const { return in_.empty(); }

  /// Saves or loads each of `values`, in order.
  template <typename... T>
  StateIO& operator()(T&... values) {
    (take(values), ...);
    return *this;
  }

 private:
  template <typename T>
  static constexpr bool kHasState = requires(T& v, StateIO& io) {
    v.state(io);
  };

  template <typename T>
  static constexpr bool kPlain =
      std::is_trivially_copyable_v<T> && !std::is_pointer_v<T> && !kHasState<T>;

  void bytes(void* p, size_t n) {
    if (n == 0) return;  // an empty vector's data may be null
    if (out_ != nullptr) {
      out_->append(static_cast<const char*>(p), n);
      return;
    }
    if (!ok_ || in_.size() < n) {
      ok_ = false;
      in_ = {};
      memset(p, 0, n);
      return;
    }
    memcpy(p, in_.data(), n);
    in_.remove_prefix(n);
  }

  // A count of what follows, each at least `least` bytes: a load that
  // finds more than the text can hold fails rather than make room for it.
  size_t count(size_t n, size_t least) {
    uint64_t c = n;
    bytes(&c, sizeof c);
    if (loading() && c > in_.size() / (least == 0 ? 1 : least)) {
      ok_ = false;
      in_ = {};
      return 0;
    }
    return static_cast<size_t>(c);
  }

  template <typename T>
  void take(T& v) {
    if constexpr (kHasState<T>) {
      v.state(*this);
    } else {
      static_assert(kPlain<T>, "a member to list field by field");
      bytes(&v, sizeof v);
    }
  }

  template <typename T, size_t N>
  void take(T (&a)[N]) {
    if constexpr (kPlain<T>) {
      bytes(a, sizeof a);
    } else {
      for (T& v : a) take(v);
    }
  }

  void take(std::string& s) {
    s.resize(count(s.size(), 1));
    bytes(s.data(), s.size());
  }

  template <typename T>
  void take(std::vector<T>& v) {
    v.resize(count(v.size(), kPlain<T> ? sizeof(T) : 1));
    if constexpr (kPlain<T>) {
      bytes(v.data(), v.size() * sizeof(T));
    } else {
      for (T& e : v) take(e);
    }
  }

  template <typename A, typename B>
  void take(std::pair<A, B>& p) {
    take(p.first);
    take(p.second);
  }

  template <typename K, typename V>
  void take(std::map<K, V>& m) {
    size_t n = count(m.size(), 1);
    if (!loading()) {
      for (auto& [k, v] : m) {
        K key = k;
        take(key);
        take(v);
      }
      return;
    }
    m.clear();
    for (; n > 0 && ok_; --n) {
      K key{};
      take(key);
      take(m[key]);
    }
  }

  template <typename T>
  void take(std::unique_ptr<T>& p) {
    bool held = p != nullptr;
    take(held);
    if (held && p == nullptr) p = std::make_unique<T>();
    if (!held) p.reset();
    if (held) take(*p);
  }

  std::string* out_ = nullptr;
  std::string_view in_;
  bool ok_ = true;
};

#endif  // QUILLON_MEASURES_STATE_H_
