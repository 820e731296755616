#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>
#include <vector>

namespace kl {

// A set of 32-bit ids in the order of a caller's comparator, as a B+ tree that stores nothing but the ids: Less
// reaches whatever the ids stand for (keys held elsewhere) and must be a strict total order over the ids present,
// consulted on every operation. Leaves hold up to Capacity ids and link to the next leaf; inner nodes hold up to
// Capacity children and, for each child but the first, the smallest id beneath it. Every node but the root stays at
// least half full, so memory stays a few bytes per id however the set was edited. Throws only std::bad_alloc, and a
// failed allocation leaves the set as it was. Not for concurrent use while it is being changed.
template <class TLess, std::size_t Capacity = 62>
class TOrderedIdSet {
  static_assert(Capacity >= 4 && Capacity <= 0x10000, "a node holds 4 to 65536 entries");

  static constexpr std::uint32_t kCapacity = static_cast<std::uint32_t>(Capacity);
  // The least a node other than the root holds: a split of a full node plus one leaves both halves this full, and
  // a node one below it merged with a sibling at it fits in one node.
  static constexpr std::uint32_t kMinimum = kCapacity / 2;
  // Every inner node has at least two children, so 2^32 distinct ids never need more levels than this.
  static constexpr std::size_t kMaxHeight = 40;

  // Nodes carry no type tag: the level decides, leaves at FHeight and inner nodes above.
  struct TNode {};
  struct TLeaf : TNode {
    TLeaf* Next = nullptr;
    std::uint32_t Count = 0;
    std::uint32_t Ids[Capacity] = {};
  };
  // Keys[i] is the smallest id beneath Children[i] for 0 < i < Count, always an id present; Keys[0] is unused.
  struct TInner : TNode {
    std::uint32_t Count = 0;
    std::uint32_t Keys[Capacity] = {};
    TNode* Children[Capacity] = {};
  };
  struct TStep {
    TInner* Node;
    std::uint32_t Index;
  };

public:
  // Forward iteration in order; valid until the set is changed.
  class TIterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::uint32_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const std::uint32_t*;
    using reference = const std::uint32_t&;

    TIterator() = default;
    reference operator*() const noexcept { return FLeaf->Ids[FPos]; }
    TIterator& operator++() noexcept {
      if (++FPos == FLeaf->Count) {
        FLeaf = FLeaf->Next;
        FPos = 0;
      }
      return *this;
    }
    TIterator operator++(int) noexcept {
      TIterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const TIterator&, const TIterator&) = default;

  private:
    friend class TOrderedIdSet;
    // A position one past a leaf's last id is the next leaf's first (or the end).
    TIterator(const TLeaf* Leaf, std::uint32_t Pos) noexcept : FLeaf(Leaf), FPos(Pos) {
      if (FLeaf && FPos == FLeaf->Count) {
        FLeaf = FLeaf->Next;
        FPos = 0;
      }
    }
    const TLeaf* FLeaf = nullptr;
    std::uint32_t FPos = 0;
  };

  explicit TOrderedIdSet(TLess Less = TLess()) : FLess(std::move(Less)) {}
  TOrderedIdSet(const TOrderedIdSet&) = delete;
  TOrderedIdSet& operator=(const TOrderedIdSet&) = delete;
  TOrderedIdSet(TOrderedIdSet&& Other) noexcept(std::is_nothrow_move_constructible_v<TLess>)
      : FLess(std::move(Other.FLess)),
        FRoot(std::exchange(Other.FRoot, nullptr)),
        FHeight(std::exchange(Other.FHeight, 0)),
        FSize(std::exchange(Other.FSize, 0)),
        FLeafCount(std::exchange(Other.FLeafCount, 0)),
        FInnerCount(std::exchange(Other.FInnerCount, 0)) {}
  TOrderedIdSet& operator=(TOrderedIdSet&& Other) noexcept(std::is_nothrow_move_assignable_v<TLess>) {
    if (this != &Other) {
      Clear();
      FLess = std::move(Other.FLess);
      FRoot = std::exchange(Other.FRoot, nullptr);
      FHeight = std::exchange(Other.FHeight, 0);
      FSize = std::exchange(Other.FSize, 0);
      FLeafCount = std::exchange(Other.FLeafCount, 0);
      FInnerCount = std::exchange(Other.FInnerCount, 0);
    }
    return *this;
  }
  ~TOrderedIdSet() { Clear(); }

  std::size_t Size() const noexcept { return FSize; }
  bool Empty() const noexcept { return FSize == 0; }
  // Levels of inner nodes above the leaves (0 for a single leaf or an empty set).
  std::size_t Height() const noexcept { return FHeight; }
  // Bytes held by nodes (without the allocator's own overhead).
  std::size_t MemoryBytes() const noexcept { return FLeafCount * sizeof(TLeaf) + FInnerCount * sizeof(TInner); }

  void Clear() noexcept {
    if (FRoot) Free(FRoot, 0);
    FRoot = nullptr;
    FHeight = FSize = FLeafCount = FInnerCount = 0;
  }

  // Id must not be present.
  void Insert(std::uint32_t Id) {
    if (!FRoot) {
      TLeaf* leaf = new TLeaf;
      leaf->Ids[0] = Id;
      leaf->Count = 1;
      FRoot = leaf;
      FLeafCount = FSize = 1;
      return;
    }
    TStep path[kMaxHeight];
    TLeaf* leaf = Descend(Id, path);
    const std::uint32_t pos = LeafPosition(leaf, Id);
    assert(pos == leaf->Count || FLess(Id, leaf->Ids[pos]));
    if (leaf->Count < kCapacity) {
      std::copy_backward(leaf->Ids + pos, leaf->Ids + leaf->Count, leaf->Ids + leaf->Count + 1);
      leaf->Ids[pos] = Id;
      ++leaf->Count;
      ++FSize;
      return;
    }
    // The leaf splits, and so does every full inner node above it; all the nodes that takes are allocated before
    // anything changes.
    std::size_t fullInners = 0;
    while (fullInners < FHeight && path[FHeight - 1 - fullInners].Node->Count == kCapacity) ++fullInners;
    const std::size_t innersNeeded = fullInners + (fullInners == FHeight ? 1 : 0);
    TInner* spare[kMaxHeight + 1];
    std::size_t spareCount = 0;
    TLeaf* right = new TLeaf;
    try {
      while (spareCount < innersNeeded) spare[spareCount++] = new TInner;
    } catch (...) {
      delete right;
      while (spareCount > 0) delete spare[--spareCount];
      throw;
    }
    SplitLeaf(leaf, right, pos, Id);
    std::uint32_t key = right->Ids[0];
    TNode* child = right;
    for (std::size_t level = FHeight; level-- > 0;) {
      TInner* node = path[level].Node;
      const std::uint32_t at = path[level].Index + 1;
      if (node->Count < kCapacity) {
        InsertChild(node, at, key, child);
        return;
      }
      TInner* sibling = spare[--spareCount];
      key = SplitInner(node, sibling, at, key, child);
      child = sibling;
    }
    TInner* root = spare[--spareCount];
    ++FInnerCount;
    root->Count = 2;
    root->Children[0] = FRoot;
    root->Children[1] = child;
    root->Keys[1] = key;
    FRoot = root;
    ++FHeight;
  }

  // Removes Id, found by descending with Less (so Id must still be comparable); false when it is absent.
  bool Erase(std::uint32_t Id) {
    if (!FRoot) return false;
    TStep path[kMaxHeight];
    TLeaf* leaf = Descend(Id, path);
    const std::uint32_t pos = LeafPosition(leaf, Id);
    if (pos == leaf->Count || FLess(Id, leaf->Ids[pos])) return false;
    std::copy(leaf->Ids + pos + 1, leaf->Ids + leaf->Count, leaf->Ids + pos);
    --leaf->Count;
    --FSize;
    if (FHeight == 0) {
      if (leaf->Count == 0) Clear();
      return true;
    }
    // A non-root leaf held at least two ids, so it still has a smallest one. Only the ancestor where the path last
    // turned right keeps the old one as a separator: separators are always ids present.
    if (pos == 0) {
      for (std::size_t level = FHeight; level-- > 0;) {
        if (path[level].Index > 0) {
          path[level].Node->Keys[path[level].Index] = leaf->Ids[0];
          break;
        }
      }
    }
    if (leaf->Count >= kMinimum) return true;
    bool merged = RebalanceLeaf(leaf, path[FHeight - 1]);
    for (std::size_t level = FHeight - 1; merged; --level) {
      TInner* node = path[level].Node;
      if (level == 0) {
        if (node->Count == 1) {
          FRoot = node->Children[0];
          delete node;
          --FInnerCount;
          --FHeight;
        }
        break;
      }
      if (node->Count >= kMinimum) break;
      merged = RebalanceInner(node, path[level - 1]);
    }
    return true;
  }

  // Replaces the contents with Count ids already in the order of Less, in linear time, leaves and inner nodes
  // packed full (balanced so that the last ones are at least half full).
  void Assign(const std::uint32_t* SortedIds, std::size_t Count) {
    if (Count == 0) {
      Clear();
      return;
    }
#ifndef NDEBUG
    for (std::size_t i = 1; i < Count; ++i) assert(FLess(SortedIds[i - 1], SortedIds[i]));
#endif
    std::vector<std::size_t> levels{(Count + kCapacity - 1) / kCapacity};
    while (levels.back() > 1) levels.push_back((levels.back() + kCapacity - 1) / kCapacity);
    std::size_t total = 0;
    for (std::size_t n : levels) total += n;
    std::vector<TNode*> nodes;
    std::vector<std::uint32_t> mins(levels[0]);
    nodes.reserve(total);
    try {
      for (std::size_t i = 0; i < levels[0]; ++i) nodes.push_back(new TLeaf);
      while (nodes.size() < total) nodes.push_back(new TInner);
    } catch (...) {
      for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (i < levels[0]) {
          delete static_cast<TLeaf*>(nodes[i]);
        } else {
          delete static_cast<TInner*>(nodes[i]);
        }
      }
      throw;
    }
    Clear();
    std::size_t first = 0; // the level's first node in nodes
    for (std::size_t j = 0, taken = 0; j < levels[0]; ++j) {
      TLeaf* leaf = static_cast<TLeaf*>(nodes[j]);
      leaf->Count = static_cast<std::uint32_t>(Share(Count, levels[0], j));
      std::copy(SortedIds + taken, SortedIds + taken + leaf->Count, leaf->Ids);
      taken += leaf->Count;
      leaf->Next = j + 1 < levels[0] ? static_cast<TLeaf*>(nodes[j + 1]) : nullptr;
      mins[j] = leaf->Ids[0];
    }
    for (std::size_t level = 1; level < levels.size(); ++level) {
      const std::size_t below = levels[level - 1];
      std::size_t child = 0; // index of the next child within the level below
      for (std::size_t j = 0; j < levels[level]; ++j) {
        TInner* node = static_cast<TInner*>(nodes[first + below + j]);
        node->Count = static_cast<std::uint32_t>(Share(below, levels[level], j));
        const std::size_t firstChild = child;
        for (std::uint32_t c = 0; c < node->Count; ++c, ++child) {
          node->Children[c] = nodes[first + child];
          node->Keys[c] = mins[child];
        }
        mins[j] = mins[firstChild]; // firstChild >= j: the level's minimums compact in place
      }
      first += below;
    }
    FRoot = nodes.back();
    FHeight = levels.size() - 1;
    FSize = Count;
    FLeafCount = levels[0];
    FInnerCount = total - levels[0];
  }

  TIterator begin() const noexcept {
    if (!FRoot) return TIterator();
    const TNode* node = FRoot;
    for (std::size_t level = 0; level < FHeight; ++level) node = static_cast<const TInner*>(node)->Children[0];
    return TIterator(static_cast<const TLeaf*>(node), 0);
  }
  TIterator end() const noexcept { return TIterator(); }

  // The first id for which Before(id) is false, where Before is true exactly for the ids ordered before some probe
  // (which need not be in the set): a lower bound by a key that has no id.
  template <class TBefore>
  TIterator LowerBound(TBefore Before) const {
    if (!FRoot) return TIterator();
    const TNode* node = FRoot;
    for (std::size_t level = 0; level < FHeight; ++level) {
      const TInner* inner = static_cast<const TInner*>(node);
      // The last child whose smallest id is before the probe holds the answer, or its end does (and then the
      // next leaf's first id is it).
      const std::uint32_t* keys = inner->Keys;
      const std::size_t i = std::partition_point(keys + 1, keys + inner->Count, Before) - keys - 1;
      node = inner->Children[i];
    }
    const TLeaf* leaf = static_cast<const TLeaf*>(node);
    const std::uint32_t pos =
        static_cast<std::uint32_t>(std::partition_point(leaf->Ids, leaf->Ids + leaf->Count, Before) - leaf->Ids);
    return TIterator(leaf, pos);
  }

  // The first broken invariant found, or nullptr: order within and across leaves, the leaf chain, separators equal
  // to the smallest id beneath, fill between half and full, and the counts. For tests.
  const char* Validate() const {
    if (!FRoot)
      return FSize == 0 && FHeight == 0 && FLeafCount == 0 && FInnerCount == 0 ? nullptr : "empty but counted";
    TCheck check;
    std::uint32_t min = 0;
    if (const char* error = Check(FRoot, 0, check, min)) return error;
    if (check.Previous->Next) return "the last leaf links onwards";
    if (check.Ids != FSize) return "size differs from the ids held";
    if (check.Leaves != FLeafCount || check.Inners != FInnerCount) return "node counts differ";
    return nullptr;
  }

private:
  struct TCheck {
    const TLeaf* Previous = nullptr;
    std::size_t Ids = 0, Leaves = 0, Inners = 0;
  };

  // The Index-th of Parts nearly equal shares of Total.
  static std::size_t Share(std::size_t Total, std::size_t Parts, std::size_t Index) noexcept {
    return Total / Parts + (Index < Total % Parts ? 1 : 0);
  }

  TLeaf* Descend(std::uint32_t Id, TStep* Path) const {
    TNode* node = FRoot;
    for (std::size_t level = 0; level < FHeight; ++level) {
      TInner* inner = static_cast<TInner*>(node);
      const std::uint32_t* keys = inner->Keys;
      const auto after = std::upper_bound(keys + 1, keys + inner->Count, Id,
                                          [this](std::uint32_t A, std::uint32_t B) { return FLess(A, B); });
      const std::uint32_t index = static_cast<std::uint32_t>(after - keys - 1);
      Path[level] = {inner, index};
      node = inner->Children[index];
    }
    return static_cast<TLeaf*>(node);
  }

  std::uint32_t LeafPosition(const TLeaf* Leaf, std::uint32_t Id) const {
    const auto at = std::lower_bound(Leaf->Ids, Leaf->Ids + Leaf->Count, Id,
                                     [this](std::uint32_t A, std::uint32_t B) { return FLess(A, B); });
    return static_cast<std::uint32_t>(at - Leaf->Ids);
  }

  // Spreads the full Leaf plus Id (going to Pos) over Leaf and the empty Right, linked after it.
  void SplitLeaf(TLeaf* Leaf, TLeaf* Right, std::uint32_t Pos, std::uint32_t Id) noexcept {
    std::uint32_t all[Capacity + 1];
    std::copy(Leaf->Ids, Leaf->Ids + Pos, all);
    all[Pos] = Id;
    std::copy(Leaf->Ids + Pos, Leaf->Ids + kCapacity, all + Pos + 1);
    const std::uint32_t left = (kCapacity + 1) / 2;
    std::copy(all, all + left, Leaf->Ids);
    std::copy(all + left, all + kCapacity + 1, Right->Ids);
    Leaf->Count = left;
    Right->Count = kCapacity + 1 - left;
    Right->Next = Leaf->Next;
    Leaf->Next = Right;
    ++FLeafCount;
    ++FSize;
  }

  static void InsertChild(TInner* Node, std::uint32_t At, std::uint32_t Key, TNode* Child) noexcept {
    std::copy_backward(Node->Children + At, Node->Children + Node->Count, Node->Children + Node->Count + 1);
    std::copy_backward(Node->Keys + At, Node->Keys + Node->Count, Node->Keys + Node->Count + 1);
    Node->Children[At] = Child;
    Node->Keys[At] = Key;
    ++Node->Count;
  }

  // Spreads the full Node plus Child (going to At, its smallest id Key) over Node and the empty Right; returns the
  // smallest id beneath Right.
  std::uint32_t SplitInner(TInner* Node, TInner* Right, std::uint32_t At, std::uint32_t Key, TNode* Child) noexcept {
    std::uint32_t keys[Capacity + 1];
    TNode* children[Capacity + 1];
    std::copy(Node->Keys, Node->Keys + At, keys);
    std::copy(Node->Children, Node->Children + At, children);
    keys[At] = Key;
    children[At] = Child;
    std::copy(Node->Keys + At, Node->Keys + kCapacity, keys + At + 1);
    std::copy(Node->Children + At, Node->Children + kCapacity, children + At + 1);
    const std::uint32_t left = (kCapacity + 1) / 2;
    std::copy(keys, keys + left, Node->Keys);
    std::copy(children, children + left, Node->Children);
    std::copy(keys + left, keys + kCapacity + 1, Right->Keys);
    std::copy(children + left, children + kCapacity + 1, Right->Children);
    Node->Count = left;
    Right->Count = kCapacity + 1 - left;
    ++FInnerCount;
    return keys[left];
  }

  // Removes child At > 0 (already emptied into a sibling) and its separator.
  static void RemoveChild(TInner* Node, std::uint32_t At) noexcept {
    std::copy(Node->Children + At + 1, Node->Children + Node->Count, Node->Children + At);
    std::copy(Node->Keys + At + 1, Node->Keys + Node->Count, Node->Keys + At);
    --Node->Count;
  }

  // Refills a leaf one below half full from a sibling that can spare an id, else merges it with a sibling; true
  // when the parent lost a child. A non-root parent is at least half full, so the leaf has a sibling.
  bool RebalanceLeaf(TLeaf* Leaf, TStep Up) noexcept {
    TInner* parent = Up.Node;
    const std::uint32_t i = Up.Index;
    TLeaf* left = i > 0 ? static_cast<TLeaf*>(parent->Children[i - 1]) : nullptr;
    TLeaf* right = i + 1 < parent->Count ? static_cast<TLeaf*>(parent->Children[i + 1]) : nullptr;
    if (left && left->Count > kMinimum) {
      std::copy_backward(Leaf->Ids, Leaf->Ids + Leaf->Count, Leaf->Ids + Leaf->Count + 1);
      Leaf->Ids[0] = left->Ids[--left->Count];
      ++Leaf->Count;
      parent->Keys[i] = Leaf->Ids[0];
      return false;
    }
    if (right && right->Count > kMinimum) {
      Leaf->Ids[Leaf->Count++] = right->Ids[0];
      std::copy(right->Ids + 1, right->Ids + right->Count, right->Ids);
      --right->Count;
      parent->Keys[i + 1] = right->Ids[0];
      return false;
    }
    TLeaf* into = left ? left : Leaf;
    TLeaf* from = left ? Leaf : right;
    std::copy(from->Ids, from->Ids + from->Count, into->Ids + into->Count);
    into->Count += from->Count;
    into->Next = from->Next;
    delete from;
    --FLeafCount;
    RemoveChild(parent, left ? i : i + 1);
    return true;
  }

  // The same for an inner node: a child moves through the parent, whose separator gives the moved or merged
  // child's smallest id.
  bool RebalanceInner(TInner* Node, TStep Up) noexcept {
    TInner* parent = Up.Node;
    const std::uint32_t i = Up.Index;
    TInner* left = i > 0 ? static_cast<TInner*>(parent->Children[i - 1]) : nullptr;
    TInner* right = i + 1 < parent->Count ? static_cast<TInner*>(parent->Children[i + 1]) : nullptr;
    if (left && left->Count > kMinimum) {
      std::copy_backward(Node->Children, Node->Children + Node->Count, Node->Children + Node->Count + 1);
      std::copy_backward(Node->Keys + 1, Node->Keys + Node->Count, Node->Keys + Node->Count + 1);
      --left->Count;
      Node->Children[0] = left->Children[left->Count];
      Node->Keys[1] = parent->Keys[i];
      parent->Keys[i] = left->Keys[left->Count];
      ++Node->Count;
      return false;
    }
    if (right && right->Count > kMinimum) {
      Node->Children[Node->Count] = right->Children[0];
      Node->Keys[Node->Count] = parent->Keys[i + 1];
      ++Node->Count;
      parent->Keys[i + 1] = right->Keys[1];
      std::copy(right->Children + 1, right->Children + right->Count, right->Children);
      std::copy(right->Keys + 1, right->Keys + right->Count, right->Keys);
      --right->Count;
      return false;
    }
    TInner* into = left ? left : Node;
    TInner* from = left ? Node : right;
    const std::uint32_t at = left ? i : i + 1;
    std::copy(from->Children, from->Children + from->Count, into->Children + into->Count);
    std::copy(from->Keys + 1, from->Keys + from->Count, into->Keys + into->Count + 1);
    into->Keys[into->Count] = parent->Keys[at];
    into->Count += from->Count;
    delete from;
    --FInnerCount;
    RemoveChild(parent, at);
    return true;
  }

  // Recursion as deep as the tree, no deeper. Out of line: inlined after a new leaf, the compiler cannot see that
  // the level keeps that leaf from being read as an inner node, and warns.
  __attribute__((noinline)) void Free(TNode* Node, std::size_t Level) noexcept {
    if (Level == FHeight) {
      delete static_cast<TLeaf*>(Node);
      return;
    }
    TInner* inner = static_cast<TInner*>(Node);
    for (std::uint32_t c = 0; c < inner->Count; ++c) Free(inner->Children[c], Level + 1);
    delete inner;
  }

  const char* Check(const TNode* Node, std::size_t Level, TCheck& State, std::uint32_t& Min) const {
    const bool root = Level == 0;
    if (Level == FHeight) {
      const TLeaf* leaf = static_cast<const TLeaf*>(Node);
      ++State.Leaves;
      if (leaf->Count > kCapacity || leaf->Count < (root ? 1 : kMinimum)) return "leaf fill out of bounds";
      for (std::uint32_t k = 1; k < leaf->Count; ++k) {
        if (!FLess(leaf->Ids[k - 1], leaf->Ids[k])) return "leaf out of order";
      }
      if (State.Previous) {
        if (State.Previous->Next != leaf) return "leaf chain skips a leaf";
        if (!FLess(State.Previous->Ids[State.Previous->Count - 1], leaf->Ids[0])) return "leaves out of order";
      }
      State.Previous = leaf;
      State.Ids += leaf->Count;
      Min = leaf->Ids[0];
      return nullptr;
    }
    const TInner* inner = static_cast<const TInner*>(Node);
    ++State.Inners;
    if (inner->Count > kCapacity || inner->Count < (root ? 2 : kMinimum)) return "inner fill out of bounds";
    for (std::uint32_t c = 0; c < inner->Count; ++c) {
      std::uint32_t childMin = 0;
      if (const char* error = Check(inner->Children[c], Level + 1, State, childMin)) return error;
      if (c == 0) Min = childMin;
      if (c > 0 && inner->Keys[c] != childMin) return "separator is not the smallest id beneath";
    }
    return nullptr;
  }

  TLess FLess;
  TNode* FRoot = nullptr;
  std::size_t FHeight = 0;
  std::size_t FSize = 0;
  std::size_t FLeafCount = 0;
  std::size_t FInnerCount = 0;
};

} // namespace kl
