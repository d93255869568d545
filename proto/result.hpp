// Failures are values: every fallible operation returns a Result<T, E>.
// (std::expected is not usable here: clang cannot compile libstdc++ 12's <expected>.)
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace vennock {

template <class E>
struct Err {
  E error;
};

template <class E>
Err<std::decay_t<E>> err(E&& e) {
  return Err<std::decay_t<E>>{std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  Result(const T& v) : v_(std::in_place_index<0>, v) {}
  Result(T&& v) : v_(std::in_place_index<0>, std::move(v)) {}
  template <class G, class = std::enable_if_t<std::is_convertible_v<G, E>>>
  Result(Err<G> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  const E& error() const {
    assert(!ok());
    return std::get<1>(v_);
  }
  E& error() {
    assert(!ok());
    return std::get<1>(v_);
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Result() = default;
  template <class G, class = std::enable_if_t<std::is_convertible_v<G, E>>>
  Result(Err<G> e) : e_(std::move(e.error)) {}

  bool ok() const { return !e_.has_value(); }
  explicit operator bool() const { return ok(); }
  const E& error() const {
    assert(!ok());
    return *e_;
  }
  E& error() {
    assert(!ok());
    return *e_;
  }

 private:
  std::optional<E> e_;
};

}  // namespace vennock
