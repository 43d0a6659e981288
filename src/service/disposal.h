#pragma once
// Frees what an import leaves behind on a thread of its own, so that the
// verdict does not wait for it: the rows of a large import take tens of
// milliseconds to free, value by value.
//
//   DisposeLater(std::move(table));  // destroyed soon, on the disposal thread

#include <memory>
#include <utility>

namespace tandemize::service {

// Hands aObject over to be destroyed on the disposal thread. While that
// thread is still busy with earlier ones, or cannot be had, aObject is
// destroyed here and now instead: only a few objects ever wait, so freeing
// never falls far behind the imports that make the garbage.
void DisposeLater(std::shared_ptr<void> aObject) noexcept;

template <typename T>
void DisposeLater(std::unique_ptr<T> aObject) noexcept {
  try {
    DisposeLater(std::shared_ptr<void>(std::move(aObject)));
  } catch (...) {
    // No room for the handle: aObject, still owned here, is destroyed now.
  }
}

}  // namespace tandemize::service
