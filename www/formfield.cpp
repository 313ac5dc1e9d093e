#include "www/formfield.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

FormField formhead;

namespace {

FormField* formtail = &formhead;
int fieldcount = 0;

// What the fields beyond the limit are decoded into, and dropped.
FormField overflowfield;
bool overflowed = false;

void emptyoverflow()
{
    for (char* text : {overflowfield.contenttype, overflowfield.name, overflowfield.filename,
                       overflowfield.value})
        std::free(text);
    overflowfield = FormField{};
}

} // namespace

void newformlist()
{
    formhead = FormField{};
    formtail = &formhead;
    fieldcount = 0;
    emptyoverflow();
    overflowed = false;
}

FormField* addformfield()
{
    if (fieldcount >= FORM_FIELDS_MAX) {
        overflowed = true;
        emptyoverflow();
        return &overflowfield;
    }
    auto* field = static_cast<FormField*>(std::calloc(1, sizeof(FormField)));
    if (field == nullptr)
        return nullptr;
    field->prev = formtail;
    formtail->next = field;
    formtail = field;
    ++fieldcount;
    return field;
}

int formfieldcount() { return fieldcount; }

bool formoverflow() { return overflowed; }

const char* formvalue(const char* name)
{
    if (name == nullptr)
        return nullptr;
    for (const FormField* f = &formhead; f != nullptr; f = f->next) {
        if (f->file == 0 && f->name != nullptr && std::strcmp(f->name, name) == 0)
            return f->value;
    }
    return nullptr;
}
