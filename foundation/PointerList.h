#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "foundation/Exceptions.h"

namespace kl {

[[noreturn]] KL_API void RaiseListIndexError(std::int64_t Index);

// An ordered list of references that owns nothing. An index outside 0 to
// GetCount() - 1 raises EListError and changes nothing.
template <class T> class TPointerList {
public:
  std::int32_t Add(T* Item) {
    FItems.push_back(Item);
    return static_cast<std::int32_t>(FItems.size() - 1);
  }
  void Insert(std::int32_t Index, T* Item) {
    if (Index < 0 || Index > GetCount()) RaiseListIndexError(Index);
    FItems.insert(FItems.begin() + Index, Item);
  }
  void Delete(std::int32_t Index) {
    CheckIndex(Index);
    FItems.erase(FItems.begin() + Index);
  }
  T* Get(std::int32_t Index) const {
    CheckIndex(Index);
    return FItems[static_cast<std::size_t>(Index)];
  }
  void Put(std::int32_t Index, T* Item) {
    CheckIndex(Index);
    FItems[static_cast<std::size_t>(Index)] = Item;
  }
  std::int32_t IndexOf(const T* Item) const {
    auto it = std::find(FItems.begin(), FItems.end(), Item);
    return it == FItems.end() ? -1 : static_cast<std::int32_t>(it - FItems.begin());
  }
  // Removes the first occurrence of Item; returns its former index or -1.
  std::int32_t Remove(const T* Item) {
    std::int32_t index = IndexOf(Item);
    if (index >= 0) FItems.erase(FItems.begin() + index);
    return index;
  }
  std::int32_t GetCount() const noexcept { return static_cast<std::int32_t>(FItems.size()); }
  void Clear() noexcept { FItems.clear(); }

  auto begin() const noexcept { return FItems.begin(); }
  auto end() const noexcept { return FItems.end(); }

private:
  void CheckIndex(std::int32_t Index) const {
    if (Index < 0 || Index >= GetCount()) RaiseListIndexError(Index);
  }

  std::vector<T*> FItems;
};

} // namespace kl
