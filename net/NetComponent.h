#pragma once
// The component base of the socket objects: an owner that destroys what it
// owns, a name, and a notification when a component joins or leaves an
// owner.

#include "Rtl.h"

#include <string>
#include <vector>

namespace net {

class TNetComponent : public rtl::TObject {
public:
    enum TOperation { opInsert, opRemove };

    explicit TNetComponent(TNetComponent* AOwner = nullptr);
    // Destroys the owned components, the last one first, then leaves the
    // owner.
    ~TNetComponent() override;
    TNetComponent(const TNetComponent&) = delete;
    TNetComponent& operator=(const TNetComponent&) = delete;

    TNetComponent* Owner() const { return FOwner; }
    const std::string& Name() const { return FName; }
    void SetName(const std::string& Value) { FName = Value; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TNetComponent* Components(int Index) const { return FComponents.at(static_cast<size_t>(Index)); }

    void InsertComponent(TNetComponent* AComponent);
    void RemoveComponent(TNetComponent* AComponent);

protected:
    // Called on the owner. Note that a component joins its owner while its
    // own constructor has got no further than this base, and leaves it when
    // its destructor has come down to it.
    virtual void Notification(TNetComponent* AComponent, TOperation Operation);

private:
    TNetComponent* FOwner = nullptr;
    std::string FName;
    std::vector<TNetComponent*> FComponents;
};

} // namespace net
