#include "NetComponent.h"

#include <algorithm>

namespace net {

TNetComponent::TNetComponent(TNetComponent* AOwner)
{
    if (AOwner)
        AOwner->InsertComponent(this);
}

TNetComponent::~TNetComponent()
{
    while (!FComponents.empty()) {
        TNetComponent* last = FComponents.back();
        delete last; // its destructor removes it from FComponents
    }
    if (FOwner)
        FOwner->RemoveComponent(this);
}

void TNetComponent::InsertComponent(TNetComponent* AComponent)
{
    if (!AComponent || AComponent->FOwner == this)
        return;
    if (AComponent->FOwner)
        AComponent->FOwner->RemoveComponent(AComponent);
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
    Notification(AComponent, opInsert);
}

void TNetComponent::RemoveComponent(TNetComponent* AComponent)
{
    auto it = std::find(FComponents.begin(), FComponents.end(), AComponent);
    if (it == FComponents.end())
        return;
    FComponents.erase(it);
    AComponent->FOwner = nullptr;
    Notification(AComponent, opRemove);
}

void TNetComponent::Notification(TNetComponent*, TOperation) {}

} // namespace net
