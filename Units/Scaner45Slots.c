/* Only the C view of widl's header names the members of the interface's
   function table, so the offsets are taken in C. */
#include "Units/Scaner45Slots.h"

#include "Dravix.h"

const size_t Scaner714Slots[kScaner714SlotCount] = {
    offsetof(IScaner714Vtbl, ShowProperties), offsetof(IScaner714Vtbl, AddDevice),
    offsetof(IScaner714Vtbl, DeleteDevice),   offsetof(IScaner714Vtbl, DeleteEvent),
    offsetof(IScaner714Vtbl, ClearDevices),   offsetof(IScaner714Vtbl, AboutBox),
};
