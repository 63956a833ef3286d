#include "driver/server/PropertiesDialog.h"

#include <string>

#include "driver/server/Module.h"
#include "driver/server/Resource.h"

namespace dravix::server {

namespace {

struct TDialogState {
  const std::vector<TDevice>* Devices;
  size_t Current;
  bool Editable;
  std::optional<size_t> Chosen;
};

void ShowDetails(HWND dialog, const TDialogState& state) {
  const LRESULT selected = SendDlgItemMessageW(dialog, IDC_DEVICES, LB_GETCURSEL, 0, 0);
  std::wstring text;
  if (selected >= 0 && static_cast<size_t>(selected) < state.Devices->size()) {
    text = DescribeDevice((*state.Devices)[static_cast<size_t>(selected)]);
  }
  SetDlgItemTextW(dialog, IDC_DETAILS, text.c_str());
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<TDialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      state = reinterpret_cast<TDialogState*>(lParam);
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      SetWindowTextW(dialog, L"Свойства драйвера сканера");
      SetDlgItemTextW(dialog, IDC_DEVICES_LABEL, L"Логические устройства:");
      const HWND list = GetDlgItem(dialog, IDC_DEVICES);
      for (size_t i = 0; i < state->Devices->size(); ++i) {
        const std::wstring item = std::to_wstring(i + 1) + L". " + (*state->Devices)[i].Name;
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
      }
      SendMessageW(list, LB_SETCURSEL, state->Current, 0);
      EnableWindow(list, state->Editable);
      ShowDetails(dialog, *state);
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDC_DEVICES && HIWORD(wParam) == LBN_SELCHANGE) {
        ShowDetails(dialog, *state);
        return TRUE;
      }
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        if (LOWORD(wParam) == IDOK && state->Editable) {
          const LRESULT selected = SendDlgItemMessageW(dialog, IDC_DEVICES, LB_GETCURSEL, 0, 0);
          if (selected >= 0) state->Chosen = static_cast<size_t>(selected);
        }
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
      }
      break;
    case WM_CLOSE:
      EndDialog(dialog, IDCANCEL);
      return TRUE;
  }
  return FALSE;
}

}  // namespace

std::optional<size_t> ShowPropertiesDialog(HWND owner, const std::vector<TDevice>& devices, size_t current,
                                           bool editable) {
  TDialogState state{&devices, current, editable, std::nullopt};
  DialogBoxParamW(ModuleInstance(), MAKEINTRESOURCEW(IDD_PROPERTIES), owner, DialogProc,
                  reinterpret_cast<LPARAM>(&state));
  return state.Chosen;
}

}  // namespace dravix::server
