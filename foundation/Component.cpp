#include "foundation/Component.h"

#include <algorithm>

#include "foundation/PointerList.h"

namespace kl {

namespace {

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
  // both sides first, so a receiver never sees this component again.
  while (!FFreeNotifies.empty()) {
    TComponent* other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    other->RemoveFreeLink(this);
    other->Notification(this, opRemove);
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

std::int32_t TComponent::GetComponentCount() const noexcept {
  return static_cast<std::int32_t>(FComponents.size());
}

TComponent* TComponent::GetComponent(std::int32_t Index) const {
  if (Index < 0 || Index >= GetComponentCount()) RaiseListIndexError(Index);
  return FComponents[static_cast<std::size_t>(Index)];
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent == this) return;
  AddFreeLink(AComponent);
  AComponent->AddFreeLink(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr) return;
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
