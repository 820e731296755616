#pragma once

#include <cstdint>
#include <vector>

#include "foundation/Export.h"

namespace kl {

enum TOperation { opInsert, opRemove };

// Base of every component: an optional owner that destroys its owned
// components (in reverse order of insertion) when it is destroyed itself, and
// free notification, so that a component holding a reference to another is told
// before that one's memory goes. An owned component is created with new;
// deleting it directly removes it from its owner. Not copyable, not movable.
// An owner tree is used by one thread at a time; free-notification links may
// join components of different threads (they change under one process-wide
// lock), as long as a component is not destroyed while another thread still
// plugs it in or destroys components linked to it.
class KL_API TComponent {
public:
  explicit TComponent(TComponent* AOwner = nullptr);
  virtual ~TComponent();

  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* GetOwner() const noexcept { return FOwner; }
  std::int32_t GetComponentCount() const noexcept;
  // Raises EListError for an index outside 0 to GetComponentCount() - 1.
  TComponent* GetComponent(std::int32_t Index) const;

  // Asks for AComponent to be told (Notification with opRemove) when this
  // component is destroyed. The link is mutual: if AComponent dies first, this
  // component forgets it.
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

  bool IsDestroying() const noexcept { return FDestroying; }

protected:
  // Called when AComponent is inserted into or removed from this component's
  // owner tree, or when a component this one asked about is destroyed.
  virtual void Notification(TComponent* AComponent, TOperation Operation);

private:
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent);
  void AddFreeLink(TComponent* AComponent);
  void RemoveFreeLink(TComponent* AComponent) noexcept;

  TComponent* FOwner = nullptr;
  std::vector<TComponent*> FComponents;
  std::vector<TComponent*> FFreeNotifies;
  bool FDestroying = false;
};

} // namespace kl
