#pragma once
#include "CodePage.h"

#include <QValidator>

// Accepts only text that the program's code page can carry, so an entry
// field never holds a character that would be lost on its way to bytes.
// A paste with such a character is refused as a whole and the field keeps
// what it had.
class TCodePageValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override
    {
        bool lossless = true;
        codepage::ToBytes(input, &lossless);
        return lossless ? Acceptable : Invalid;
    }
};
