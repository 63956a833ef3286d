// Silent setters shared by the tool's windows: they mirror a driver value in
// a control with the control's own handler detached for the moment, so that
// a refresh never writes the value back to the driver.
#pragma once

#include <cstdint>

#include "gui/StdCtrls.h"

// Sets a check box's state with its click handler detached; the handler is
// put back also when setting the state raises.
void SafeSetChecked(gui::CheckBox& CheckBox, bool Value);

// Selects item index of the list (-1: none) with its change handler
// detached; the handler is put back also when selecting raises.
void SafeSetComboBox(gui::ComboBox& ComboBox, std::int32_t index);
