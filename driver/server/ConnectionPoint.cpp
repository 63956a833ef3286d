#include "driver/server/ConnectionPoint.h"

#include <olectl.h>

#include <atomic>
#include <memory>

#include "driver/server/Module.h"

using Microsoft::WRL::ComPtr;

namespace dravix::server {

namespace {

// A small COM enumerator over a snapshot of items. The object owns itself:
// it is created with a count of one and deletes itself at zero, as every COM
// object does.
template <class TInterface, class TItem, const IID& kIid>
class TEnumerator final : public TInterface {
 public:
  using TCopy = void (*)(TItem& to, const TItem& from);  // adds the references a caller receives
  using TFree = void (*)(TItem& item);

  TEnumerator(std::vector<TItem> items, ULONG position, TCopy copy, TFree free)
      : fItems(std::move(items)), fPosition(position), fCopy(copy), fFree(free) {}
  TEnumerator(const TEnumerator&) = delete;
  TEnumerator& operator=(const TEnumerator&) = delete;
  ~TEnumerator() {
    for (TItem& item : fItems) fFree(item);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == kIid) {
      *object = static_cast<TInterface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++fRefs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = --fRefs;
    if (refs == 0) delete this;
    return refs;
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG count, TItem* items, ULONG* fetched) override {
    if (!items || (count > 1 && !fetched)) return E_POINTER;
    ULONG n = 0;
    for (; n < count && fPosition < fItems.size(); ++n, ++fPosition) fCopy(items[n], fItems[fPosition]);
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const ULONG left = static_cast<ULONG>(fItems.size()) - fPosition;
    fPosition += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    fPosition = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(TInterface** result) override {
    if (!result) return E_POINTER;
    std::vector<TItem> items(fItems.size());
    for (size_t i = 0; i < items.size(); ++i) fCopy(items[i], fItems[i]);
    *result = Create(std::move(items), fPosition, fCopy, fFree);
    return S_OK;
  }

  static TInterface* Create(std::vector<TItem> items, ULONG position, TCopy copy, TFree free) {
    return std::make_unique<TEnumerator>(std::move(items), position, copy, free).release();
  }

 private:
  std::atomic<ULONG> fRefs{1};
  std::vector<TItem> fItems;
  ULONG fPosition;
  TCopy fCopy;
  TFree fFree;
  TModuleRef fModule;
};

using TConnectionsEnum = TEnumerator<IEnumConnections, CONNECTDATA, IID_IEnumConnections>;
using TPointsEnum = TEnumerator<IEnumConnectionPoints, IConnectionPoint*, IID_IEnumConnectionPoints>;

void CopyConnection(CONNECTDATA& to, const CONNECTDATA& from) {
  to = from;
  if (to.pUnk) to.pUnk->AddRef();
}
void FreeConnection(CONNECTDATA& item) {
  if (item.pUnk) item.pUnk->Release();
  item.pUnk = nullptr;
}
void CopyPoint(IConnectionPoint*& to, IConnectionPoint* const& from) {
  to = from;
  if (to) to->AddRef();
}
void FreePoint(IConnectionPoint*& item) {
  if (item) item->Release();
  item = nullptr;
}

}  // namespace

HRESULT TConnectionPoint::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *object = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT TConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = fEvents;
  return S_OK;
}

HRESULT TConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  *container = &fContainer;
  fContainer.AddRef();
  return S_OK;
}

HRESULT TConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!cookie) return E_POINTER;
  *cookie = 0;
  if (!sink) return E_POINTER;
  ComPtr<IDispatch> dispatch;
  if (FAILED(sink->QueryInterface(fEvents, reinterpret_cast<void**>(dispatch.GetAddressOf()))) &&
      FAILED(sink->QueryInterface(IID_PPV_ARGS(&dispatch)))) {
    return CONNECT_E_CANNOTCONNECT;
  }
  *cookie = fNextCookie++;
  fSinks.emplace_back(*cookie, std::move(dispatch));
  return S_OK;
}

HRESULT TConnectionPoint::Unadvise(DWORD cookie) {
  for (auto it = fSinks.begin(); it != fSinks.end(); ++it) {
    if (it->first == cookie) {
      // Released after leaving the list: the sink's destructor may call back.
      const ComPtr<IDispatch> sink = std::move(it->second);
      fSinks.erase(it);
      return S_OK;
    }
  }
  return CONNECT_E_NOCONNECTION;
}

HRESULT TConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (!connections) return E_POINTER;
  std::vector<CONNECTDATA> items;
  for (const auto& [cookie, sink] : fSinks) {
    CONNECTDATA data{sink.Get(), cookie};
    sink->AddRef();
    items.push_back(data);
  }
  *connections = TConnectionsEnum::Create(std::move(items), 0, CopyConnection, FreeConnection);
  return S_OK;
}

std::vector<ComPtr<IDispatch>> TConnectionPoint::Sinks() const {
  std::vector<ComPtr<IDispatch>> sinks;
  for (const auto& entry : fSinks) sinks.push_back(entry.second);
  return sinks;
}

HRESULT CreateConnectionPointEnum(IConnectionPoint* point, ULONG position, IEnumConnectionPoints** result) {
  if (!result) return E_POINTER;
  point->AddRef();
  *result = TPointsEnum::Create({point}, position, CopyPoint, FreePoint);
  return S_OK;
}

}  // namespace dravix::server
