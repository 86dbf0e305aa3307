// The component model: objects owned by a window, created from a stored layout, whose stored
// values are applied through their setters before an after-loading step.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qb {

class TObject {
 public:
  virtual ~TObject() = default;
};

// An event: an optional callback bound to a receiver, called with the sender first.
using TNotifyEvent = std::function<void(TObject* Sender)>;

enum class TOperation { opInsert, opRemove };

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::vector<TComponent*>& Components() const { return components_; }

  std::string Name;

  bool Loading() const { return loading_; }
  bool Designing() const { return designing_; }
  void SetDesigning(bool on) { designing_ = on; }

  // Marks the component as being loaded from its owner's stored layout.
  void BeginLoading() { loading_ = true; }
  // The after-loading step; overrides call the base first.
  virtual void Loaded() { loading_ = false; }

  // Told when a component of the same owner is inserted or about to be destroyed, so that
  // references to it can be dropped.
  virtual void Notification(TComponent* component, TOperation operation);

 private:
  void Insert(TComponent* c);
  void Remove(TComponent* c);

  TComponent* owner_ = nullptr;
  std::vector<TComponent*> components_;
  bool loading_ = false;
  bool designing_ = false;
};

// A stored layout: per component, its stored values in order. Load marks every component as
// loading, applies the values in order through their setters, then runs every after-loading step.
class StoredLayout {
 public:
  using Value = std::function<void()>;
  void Add(TComponent* component, std::vector<Value> values);
  void Load();

 private:
  struct Entry {
    TComponent* component;
    std::vector<Value> values;
  };
  std::vector<Entry> entries_;
};

}  // namespace qb
