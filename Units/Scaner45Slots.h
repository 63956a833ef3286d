/* Where this program's header of the driver's interface puts the methods
   that the binding calls through IScaner714's function table. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The methods, in the order of Scaner714Slots. */
enum {
  kSlotShowProperties,
  kSlotAddDevice,
  kSlotDeleteDevice,
  kSlotDeleteEvent,
  kSlotClearDevices,
  kSlotAboutBox,
  kScaner714SlotCount
};

/* Byte offset of each method in the function table, as a caller compiled
   from the header calls it (ITypeInfo's FUNCDESC::oVft counts the same way). */
extern const size_t Scaner714Slots[kScaner714SlotCount];

#ifdef __cplusplus
}
#endif
