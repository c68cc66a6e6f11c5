// The owned-component base: a component created with an owner is destroyed
// together with it, and carries a name.
#pragma once

#include <string>
#include <vector>

namespace qx17 {

class TComponent {
  public:
    explicit TComponent(TComponent* owner);
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;
    // Destroys every component this one owns, then leaves its own owner.
    virtual ~TComponent();

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }

  private:
    TComponent* owner_;
    std::string name_;
    std::vector<TComponent*> components_;
};

}  // namespace qx17
