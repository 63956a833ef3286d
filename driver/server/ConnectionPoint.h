// The control's one connection point, for IScanerEvents. It is part of the
// control: its reference count is the control's.
#pragma once

#include <ocidl.h>
#include <wrl/client.h>

#include <utility>
#include <vector>

namespace dravix::server {

class TConnectionPoint final : public IConnectionPoint {
 public:
  TConnectionPoint(IUnknown& owner, IConnectionPointContainer& container, REFIID events)
      : fOwner(owner), fContainer(container), fEvents(events) {}
  TConnectionPoint(const TConnectionPoint&) = delete;
  TConnectionPoint& operator=(const TConnectionPoint&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return fOwner.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return fOwner.Release(); }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

  // A copy, so that a sink may unadvise while the others are called.
  std::vector<Microsoft::WRL::ComPtr<IDispatch>> Sinks() const;
  void Clear() { fSinks.clear(); }

 private:
  IUnknown& fOwner;
  IConnectionPointContainer& fContainer;
  IID fEvents;
  std::vector<std::pair<DWORD, Microsoft::WRL::ComPtr<IDispatch>>> fSinks;
  DWORD fNextCookie = 1;
};

// Enumerator of the control's connection points (there is one).
HRESULT CreateConnectionPointEnum(IConnectionPoint* point, ULONG position, IEnumConnectionPoints** result);

}  // namespace dravix::server
