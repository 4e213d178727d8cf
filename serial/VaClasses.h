#pragma once
// Component bases of the serial port driver: small sets over enumerations,
// the persistent object with change notification, and the component with
// owner, name and the loading / destroying / designing states.

#include "Rtl.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>

// A set of enumeration members held in a word: member number i is bit i.
template <typename Enum, typename Word>
class TVaSet {
    static_assert(std::is_enum_v<Enum> && std::is_unsigned_v<Word>);

public:
    constexpr TVaSet() = default;
    constexpr TVaSet(std::initializer_list<Enum> members)
    {
        for (Enum member : members)
            bits_ |= Bit(member);
    }
    static constexpr TVaSet FromBits(Word bits)
    {
        TVaSet set;
        set.bits_ = bits;
        return set;
    }

    constexpr bool Contains(Enum member) const { return bits_ & Bit(member); }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr Word Bits() const { return bits_; }
    constexpr TVaSet& Include(Enum member)
    {
        bits_ |= Bit(member);
        return *this;
    }
    constexpr TVaSet& Exclude(Enum member)
    {
        bits_ &= static_cast<Word>(~Bit(member));
        return *this;
    }
    friend constexpr bool operator==(TVaSet, TVaSet) = default;

private:
    static constexpr Word Bit(Enum member) { return static_cast<Word>(Word(1) << static_cast<unsigned>(member)); }
    Word bits_ = 0;
};

// An object whose changes are reported to one handler. BeginUpdate /
// EndUpdate bracket a group of changes so that the handler hears of the group
// once, at its end.
class TVaPersistent : public rtl::TObject {
public:
    virtual std::string ClassName() const { return "TVaPersistent"; }

    void BeginUpdate();
    void EndUpdate();
    int32_t UpdateCount() const { return updateCount_; }

    // Called with this object as Sender; unbound means nobody listens.
    rtl::TNotifyEvent ChangeHandler;

protected:
    void NotifyChanged();
    // The framework's refusal to copy between unrelated classes.
    [[noreturn]] void AssignError(const TVaPersistent* source) const;

private:
    int32_t updateCount_ = 0;
};

enum TVaComponentStateFlag : uint8_t { csLoading, csDestroying, csDesigning };
using TVaComponentState = TVaSet<TVaComponentStateFlag, uint8_t>;

// A component: has an owner (which frees it; no ownership list is kept here),
// a name and the framework states. The owner brackets the application of its
// stored definition with BeginLoad / EndLoad; EndLoad then runs AfterLoad.
class TVaComponent : public rtl::TObject {
public:
    explicit TVaComponent(rtl::TObject* owner) : owner_(owner) {}

    rtl::TObject* Owner() const { return owner_; }
    std::string Name;

    TVaComponentState ComponentState() const { return state_; }
    bool IsLoading() const { return state_.Contains(csLoading); }
    bool IsDestroying() const { return state_.Contains(csDestroying); }
    bool IsDesigning() const { return state_.Contains(csDesigning); }

    void BeginLoad() { state_.Include(csLoading); }
    void EndLoad();
    // Only a form designer sets this; a running program never does.
    void SetDesigning(bool designing);

protected:
    // Runs once the stored properties have all been set.
    virtual void AfterLoad() {}
    // The most derived destructor calls this before it tears anything down,
    // so that the teardown can tell destruction from a normal call.
    void MarkDestroying() { state_.Include(csDestroying); }

private:
    rtl::TObject* owner_;
    TVaComponentState state_;
};

// A component that may hand its received data to a processing companion.
// Nothing in this program attaches one; the reference stays empty.
class TVaCoreComponent : public TVaComponent {
public:
    using TVaComponent::TVaComponent;

    rtl::TObject* RxProcessor() const { return rxProcessor_; }

private:
    rtl::TObject* rxProcessor_ = nullptr;
};
