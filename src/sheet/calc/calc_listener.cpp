// What LibreOffice tells us on its bridge threads: the workbook's window
// closing, the selection moving and the connection ending. Events for the
// Qt side are posted to the CalcApp's thread; flags are set at once, so the
// next call knows the document or LibreOffice is gone.
#include "sheet/calc/calc_uno.h"

#include <QMetaObject>

namespace kestrune::sheet::calc {

template <typename F>
void Listener::post(F f) {
  std::lock_guard lock(mutex_);
  if (!attached_ || !impl_.owner) return;
  QMetaObject::invokeMethod(impl_.owner, std::move(f), Qt::QueuedConnection);
}

void Listener::queryClosing(const css::lang::EventObject&, sal_Bool) {
  CalcApp* owner = impl_.owner;
  const QString path = impl_.workbookPath;
  post([owner, path] {
    bool cancel = false;  // a veto could not reach LibreOffice in time; nothing vetoes anyway
    emit owner->workbookBeforeClose(path, &cancel);
  });
}

void Listener::notifyClosing(const css::lang::EventObject&) { impl_.documentClosed = true; }

void Listener::selectionChanged(const css::lang::EventObject&) {
  CalcApp* owner = impl_.owner;
  post([owner] {
    const Result<CellRef> cell = owner->activeCell();
    if (cell) emit owner->sheetSelectionChange(QString(), *cell);
  });
}

void Listener::disposing(const css::lang::EventObject&) {
  if (source_ == Source::Bridge)
    impl_.bridgeGone = true;
  else
    impl_.documentClosed = true;
}

}  // namespace kestrune::sheet::calc
