// formfields: the form-field list as the fuzz targets of the form readers
// see it, and its release (the programs keep it until they exit).
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "www/wwwinput.h"

struct FieldCopy {
    bool file;
    bool has_name, has_value;
    std::string name, value;
};

// The fields from `first` on.
inline std::vector<FieldCopy> fieldcopies(const FormField* first)
{
    std::vector<FieldCopy> fields;
    for (const FormField* f = first; f != nullptr; f = f->next)
        fields.push_back({f->file != 0, f->name != nullptr, f->value != nullptr,
                          f->name != nullptr ? f->name : "", f->value != nullptr ? f->value : ""});
    return fields;
}

// Releases every field of the list and its head's texts.
inline void releaseform()
{
    auto release = [](FormField* f) {
        std::free(f->contenttype);
        std::free(f->name);
        std::free(f->filename);
        std::free(f->value);
    };
    for (FormField* f = formhead.next; f != nullptr;) {
        FormField* next = f->next;
        release(f);
        std::free(f);
        f = next;
    }
    release(&formhead);
    newformlist();
}
