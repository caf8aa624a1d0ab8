// The VST3-compatible C interfaces, and how one C++ object shows several of
// them: each interface is a slot holding its table of functions and the
// object it belongs to, so a call on any of them finds its object at once.
#pragma once

#include "travesty/audio_processor.h"
#include "travesty/component.h"
#include "travesty/edit_controller.h"
#include "travesty/events.h"
#include "travesty/factory.h"
#include "travesty/host.h"
#include "travesty/unit.h"
#include "travesty/view.h"

#include <cstddef>

// IUnitHandler, which travesty leaves out: how a plug-in tells its host
// that a unit's program list changed.
struct v3_unit_handler {
    v3_result(V3_API* notify_unit_selection)(void* self, int32_t unit_id);
    v3_result(V3_API* notify_program_list_change)(void* self, int32_t list_id, int32_t program_idx);
};
static constexpr const v3_tuid v3_unit_handler_iid = V3_ID(0x4B5147F8, 0x4654486B, 0x8DAB30BA, 0x163A3C56);
struct v3_unit_handler_cpp : v3_funknown {
    v3_unit_handler handler;
};

// INoteExpressionController, which travesty leaves out too: the note
// expressions an edit controller takes, which hosts ask before sending any.
#include "travesty/align_push.h"
struct v3_note_expression_value_description {
    double default_value;
    double minimum;
    double maximum;
    int32_t step_count;
};
struct v3_note_expression_type_info {
    uint32_t type_id;
    v3_str_128 title;
    v3_str_128 short_title;
    v3_str_128 units;
    int32_t unit_id;
    v3_note_expression_value_description value_desc;
    v3_param_id associated_parameter_id;
    int32_t flags;
};
#include "travesty/align_pop.h"
inline constexpr int32_t v3_note_expression_is_bipolar = 1 << 0;
struct v3_note_expression_controller {
    int32_t(V3_API* get_note_expression_count)(void* self, int32_t bus, int16_t channel);
    v3_result(V3_API* get_note_expression_info)(void* self, int32_t bus, int16_t channel, int32_t index,
                                                v3_note_expression_type_info* info);
    v3_result(V3_API* get_note_expression_string_by_value)(void* self, int32_t bus, int16_t channel, uint32_t type_id,
                                                           double value, v3_str_128 string);
    v3_result(V3_API* get_note_expression_value_by_string)(void* self, int32_t bus, int16_t channel, uint32_t type_id,
                                                           const int16_t* string, double* value);
};
static constexpr const v3_tuid v3_note_expression_controller_iid =
    V3_ID(0xB7F8F859, 0x41234872, 0x91169581, 0x4F3721A3);
struct v3_note_expression_controller_cpp : v3_funknown {
    v3_note_expression_controller controller;
};

template <class Owner> struct Vst3Slot {
    const void* table;
    Owner* owner;
};

// The object behind an interface pointer the host passed back as self.
template <class Owner> Owner* slotOwner(void* self)
{
    return static_cast<Vst3Slot<Owner>*>(self)->owner;
}

// Asks an object the host handed over for another of its interfaces; null
// where it has none. The caller unrefs what it got.
template <class Wanted, class Any> Wanted** queryInterface(Any** object, const v3_tuid iid)
{
    if (!object)
        return nullptr;
    void* found = nullptr;
    if (static_cast<v3_funknown*>(static_cast<void*>(*object))->query_interface(object, iid, &found) != V3_OK)
        return nullptr;
    return static_cast<Wanted**>(found);
}

// Writes an ASCII text into a host's UTF-16 string of size units, cut to fit.
inline void copyToUtf16(int16_t* out, size_t size, const char* text)
{
    if (!out || size == 0)
        return;
    size_t i = 0;
    for (; text && text[i] && i + 1 < size; ++i)
        out[i] = static_cast<int16_t>(static_cast<unsigned char>(text[i]));
    out[i] = 0;
}

// Copies a C text into a fixed host field, cut to fit and terminated.
template <size_t N> void copyText(char (&out)[N], const char* text)
{
    size_t i = 0;
    for (; text[i] && i + 1 < N; ++i)
        out[i] = text[i];
    out[i] = 0;
}
