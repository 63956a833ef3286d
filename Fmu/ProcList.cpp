#include "Fmu/ProcList.h"

void ListAdd(std::unique_ptr<TProcList>& List, TProcedureOfObject Item) {
  if (!List) List = std::make_unique<TProcList>();
  List->push_back(std::move(Item));
}

void AddProceduresOfObject(std::unique_ptr<TProcList>& List,
                           std::initializer_list<TProcedureOfObject> Procs) {
  for (const TProcedureOfObject& proc : Procs) ListAdd(List, proc);
}

void CallProceduresOfObject(const TProcList* List) {
  if (!List) return;
  for (const TProcedureOfObject& proc : *List) proc();
}

void DestroyHooks(std::unique_ptr<TProcList>& List) noexcept { List.reset(); }
