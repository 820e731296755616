#include "foundation/Component.h"

#include <algorithm>
#include <mutex>

#include "foundation/PointerList.h"

namespace kl {

namespace {

// One lock for every free-notification link of the process. Links join
// components that may live on different threads (one generator plugged into
// components on many), so both ends of a link change under it. It is held
// while a dying component tells the others, so none of them can finish its own
// destruction meanwhile; it is recursive because a receiver's Notification
// commonly drops or makes links itself. Links change rarely, so one lock costs
// nothing that matters.
std::recursive_mutex& LinkLock() noexcept {
  static std::recursive_mutex lock;
  return lock;
}

bool EraseFirst(std::vector<TComponent*>& List, TComponent* Item) noexcept {
  auto it = std::find(List.begin(), List.end(), Item);
  if (it == List.end()) return false;
  List.erase(it);
  return true;
}

} // namespace

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  FDestroying = true;
  // Tell everyone who asked, before any memory goes. Each link is dropped on
  // both sides first, so a receiver never sees this component again. The lock
  // is taken even when no link is left: a component on another thread may be
  // telling this one right now, and must finish before this memory goes.
  {
    std::lock_guard<std::recursive_mutex> guard(LinkLock());
    while (!FFreeNotifies.empty()) {
      TComponent* other = FFreeNotifies.back();
      FFreeNotifies.pop_back();
      other->RemoveFreeLink(this);
      other->Notification(this, opRemove);
    }
  }
  // Owned components die in reverse order of insertion.
  while (!FComponents.empty()) {
    TComponent* child = FComponents.back();
    FComponents.pop_back();
    child->FOwner = nullptr;
    delete child;
  }
  if (FOwner != nullptr) FOwner->RemoveComponent(this);
}

std::int32_t TComponent::GetComponentCount() const noexcept { return static_cast<std::int32_t>(FComponents.size()); }

TComponent* TComponent::GetComponent(std::int32_t Index) const {
  if (Index < 0 || Index >= GetComponentCount()) RaiseListIndexError(Index);
  return FComponents[static_cast<std::size_t>(Index)];
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent == this) return;
  std::lock_guard<std::recursive_mutex> guard(LinkLock());
  AddFreeLink(AComponent);
  AComponent->AddFreeLink(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(LinkLock());
  RemoveFreeLink(AComponent);
  AComponent->RemoveFreeLink(this);
}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
  if (Operation == opRemove) RemoveFreeNotification(AComponent);
  if (FDestroying) return;
  // Owned components hear about their siblings, so that one that refers to a
  // sibling can drop the reference.
  for (std::size_t i = 0; i < FComponents.size(); ++i) {
    TComponent* child = FComponents[i];
    if (child != AComponent) child->Notification(AComponent, Operation);
  }
}

void TComponent::InsertComponent(TComponent* AComponent) {
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
  Notification(AComponent, opInsert);
}

void TComponent::RemoveComponent(TComponent* AComponent) {
  if (!EraseFirst(FComponents, AComponent)) return;
  AComponent->FOwner = nullptr;
  Notification(AComponent, opRemove);
}

void TComponent::AddFreeLink(TComponent* AComponent) {
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end()) {
    FFreeNotifies.push_back(AComponent);
  }
}

void TComponent::RemoveFreeLink(TComponent* AComponent) noexcept { EraseFirst(FFreeNotifies, AComponent); }

} // namespace kl
