#include "platform/component.h"

#include <algorithm>

namespace qb {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_) owner_->Insert(this);
}

TComponent::~TComponent() {
  // Owned components go first, the most recently created first.
  while (!components_.empty()) {
    TComponent* c = components_.back();
    delete c;  // removes itself from components_
  }
  if (owner_) owner_->Remove(this);
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::Insert(TComponent* c) {
  components_.push_back(c);
  Notification(c, TOperation::opInsert);
}

void TComponent::Remove(TComponent* c) {
  // Everyone that may hold a reference hears of the removal before it is gone.
  Notification(c, TOperation::opRemove);
  for (TComponent* sibling : std::vector<TComponent*>(components_))
    if (sibling != c) sibling->Notification(c, TOperation::opRemove);
  components_.erase(std::remove(components_.begin(), components_.end(), c), components_.end());
}

void StoredLayout::Add(TComponent* component, std::vector<Value> values) {
  entries_.push_back({component, std::move(values)});
}

void StoredLayout::Load() {
  for (auto& e : entries_) e.component->BeginLoading();
  for (auto& e : entries_)
    for (auto& v : e.values) v();
  for (auto& e : entries_) e.component->Loaded();
}

}  // namespace qb
