#pragma once

#include "personfields.h"
#include "recordrefusal.h"

#include <QString>
#include <optional>

// Cuts the person's fields out of a record body. The body is a run of fields, each opened by a
// field marker (a comma followed by ESC) and closed by the next ESC; only the ID stands at a
// fixed place. Positions are 1-based characters; position 1 holds the ACK the caller checked.
class FieldExtractor {
public:
    // std::nullopt when the body lacks a marker that one of the fields needs, or ends before
    // the date of birth and the gender are whole; `why` then says which, and which field.
    static std::optional<PersonFields> extract(const QString& body, Refusal* why = nullptr);
};
