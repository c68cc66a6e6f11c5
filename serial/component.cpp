#include "serial/component.h"

#include <algorithm>

namespace qx17 {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
    if (owner_ != nullptr) {
        owner_->components_.push_back(this);
    }
}

TComponent::~TComponent() {
    // Each owned component removes itself from components_ as it goes.
    while (!components_.empty()) {
        delete components_.back();
    }
    if (owner_ != nullptr) {
        auto& siblings = owner_->components_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
}

}  // namespace qx17
