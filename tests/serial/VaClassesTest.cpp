// Component bases: change notification of persistent objects, the special
// characters object, component states and sets.

#include "VaClasses.h"
#include "VaPrst.h"

#include <gtest/gtest.h>

namespace {

struct ChangeCounter {
    int count = 0;
    rtl::TObject* lastSender = nullptr;
    rtl::TNotifyEvent Handler()
    {
        return [this](rtl::TObject* sender) {
            ++count;
            lastSender = sender;
        };
    }
};

TEST(VaPersistent, UpdatesReportOnceAtTheOutermostEnd)
{
    TVaEventChars chars;
    ChangeCounter changes;
    chars.ChangeHandler = changes.Handler();

    chars.BeginUpdate();
    chars.BeginUpdate();
    chars.SetXonChar(1);
    chars.SetXoffChar(2);
    chars.EndUpdate();
    EXPECT_EQ(changes.count, 0);
    chars.EndUpdate();
    EXPECT_EQ(changes.count, 1);
    EXPECT_EQ(changes.lastSender, &chars);

    // An unmatched EndUpdate does not go below zero and still reports.
    chars.EndUpdate();
    EXPECT_EQ(chars.UpdateCount(), 0);
    EXPECT_EQ(changes.count, 2);
    chars.SetErrorChar(5);
    EXPECT_EQ(changes.count, 3);
}

TEST(VaEventChars, EverySetterReportsEvenAnUnchangedValue)
{
    TVaEventChars chars;
    // Without a handler there is nobody to tell, and that is no error.
    chars.SetEventChar(7);
    EXPECT_EQ(chars.EventChar(), 7);
    chars.SetEventChar(0);

    ChangeCounter changes;
    chars.ChangeHandler = changes.Handler();
    chars.SetXonChar(17);
    chars.SetXoffChar(19);
    chars.SetErrorChar(0);
    chars.SetEventChar(0);
    EXPECT_EQ(changes.count, 4);
}

TEST(VaEventChars, CopyFromTakesAllFourWithOneReport)
{
    TVaEventChars source;
    source.SetXonChar('a');
    source.SetXoffChar('b');
    source.SetErrorChar('c');
    source.SetEventChar('d');

    TVaEventChars target;
    ChangeCounter changes;
    target.ChangeHandler = changes.Handler();
    target.CopyFrom(&source);
    EXPECT_EQ(changes.count, 1);
    EXPECT_EQ(target.XonChar(), 'a');
    EXPECT_EQ(target.XoffChar(), 'b');
    EXPECT_EQ(target.ErrorChar(), 'c');
    EXPECT_EQ(target.EventChar(), 'd');
    EXPECT_EQ(target.UpdateCount(), 0);

    target.CopyFrom(&target);
    EXPECT_EQ(changes.count, 2);
    EXPECT_EQ(target.XonChar(), 'a');
}

TEST(VaEventChars, CopyFromAnotherClassIsAnAssignmentError)
{
    TVaEventChars target;
    ChangeCounter changes;
    target.ChangeHandler = changes.Handler();
    TVaPersistent other;
    try {
        target.CopyFrom(&other);
        FAIL() << "no exception";
    } catch (const rtl::EConvertError& e) {
        EXPECT_EQ(e.Message, "TVaPersistent kann nicht zu TVaEventChars zugewiesen werden");
    }
    EXPECT_THROW(target.CopyFrom(nullptr), rtl::EConvertError);
    EXPECT_EQ(changes.count, 0);
    EXPECT_EQ(target.UpdateCount(), 0);
    EXPECT_EQ(target.XonChar(), 17);
}

class LoadProbe : public TVaComponent {
public:
    using TVaComponent::TVaComponent;
    int afterLoads = 0;
    bool loadingDuringAfterLoad = true;

protected:
    void AfterLoad() override
    {
        ++afterLoads;
        loadingDuringAfterLoad = IsLoading();
    }
};

TEST(VaComponent, EndLoadLeavesTheLoadingStateThenRunsAfterLoad)
{
    rtl::TObject owner;
    LoadProbe component(&owner);
    EXPECT_EQ(component.Owner(), &owner);
    EXPECT_TRUE(component.ComponentState().Empty());

    component.BeginLoad();
    EXPECT_TRUE(component.IsLoading());
    EXPECT_EQ(component.afterLoads, 0);
    component.EndLoad();
    EXPECT_FALSE(component.IsLoading());
    EXPECT_EQ(component.afterLoads, 1);
    EXPECT_FALSE(component.loadingDuringAfterLoad);
}

enum Colour : uint8_t { red, green, blue, violet = 9 };

TEST(VaSet, MemberNumberIBecomesBitI)
{
    using Colours = TVaSet<Colour, uint16_t>;
    Colours set{green, violet};
    EXPECT_EQ(set.Bits(), 0x0202);
    EXPECT_TRUE(set.Contains(green));
    EXPECT_FALSE(set.Contains(red));
    set.Include(red).Exclude(violet);
    EXPECT_EQ(set.Bits(), 0x0003);
    EXPECT_EQ(set, Colours::FromBits(3));
    EXPECT_NE(set, Colours{});
    EXPECT_TRUE(Colours{}.Empty());
}

} // namespace
