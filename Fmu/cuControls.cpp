#include "Fmu/cuControls.h"

#include <utility>

#include "rtl/TryFinally.h"

using rtl::TryFinally;

void SafeSetChecked(gui::CheckBox& CheckBox, bool Value) {
  auto SaveOnClick = std::move(CheckBox.OnClick);
  CheckBox.OnClick = nullptr;
  TryFinally([&] { CheckBox.SetChecked(Value); }, [&] { CheckBox.OnClick = std::move(SaveOnClick); });
}

void SafeSetComboBox(gui::ComboBox& ComboBox, std::int32_t index) {
  auto SaveOnChange = std::move(ComboBox.OnChange);
  ComboBox.OnChange = nullptr;
  TryFinally([&] { ComboBox.SetItemIndex(index); }, [&] { ComboBox.OnChange = std::move(SaveOnChange); });
}
