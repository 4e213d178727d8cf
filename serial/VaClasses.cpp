#include "VaClasses.h"

void TVaPersistent::BeginUpdate()
{
    ++updateCount_;
}

void TVaPersistent::EndUpdate()
{
    if (updateCount_ > 0)
        --updateCount_;
    NotifyChanged();
}

void TVaPersistent::NotifyChanged()
{
    if (updateCount_ == 0 && ChangeHandler)
        ChangeHandler(this);
}

void TVaPersistent::AssignError(const TVaPersistent* source) const
{
    std::string from = source ? source->ClassName() : "nil";
    throw rtl::EConvertError(from + " kann nicht zu " + ClassName() + " zugewiesen werden");
}

void TVaComponent::EndLoad()
{
    state_.Exclude(csLoading);
    AfterLoad();
}

void TVaComponent::SetDesigning(bool designing)
{
    if (designing)
        state_.Include(csDesigning);
    else
        state_.Exclude(csDesigning);
}
