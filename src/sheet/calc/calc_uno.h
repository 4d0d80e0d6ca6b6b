// What the LibreOffice backend's own files share, and the one place the UNO
// headers are included: calc_app.h stays free of them, so nothing outside
// this folder builds against the LibreOffice SDK. Holds the state behind one
// CalcApp (its LibreOffice, the watchdog over every call, the open document)
// and the listener that LibreOffice calls back on its bridge threads.
// Included by calc_process.cpp, calc_document.cpp and calc_listener.cpp only.
#pragma once

#include "sheet/calc/calc_app.h"
#include "sheet/calc/office_process.h"

#include <QString>

#include <com/sun/star/awt/PosSize.hpp>
#include <com/sun/star/awt/Rectangle.hpp>
#include <com/sun/star/awt/XTopWindow2.hpp>
#include <com/sun/star/awt/XWindow.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/bridge/BridgeFactory.hpp>
#include <com/sun/star/bridge/XBridge.hpp>
#include <com/sun/star/connection/Connector.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/container/XNamed.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/frame/XFrame.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/io/IOException.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/Locale.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/lang/XEventListener.hpp>
#include <com/sun/star/sheet/XCellAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeMovement.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/sheet/XSpreadsheetView.hpp>
#include <com/sun/star/sheet/XSpreadsheets.hpp>
#include <com/sun/star/table/CellContentType.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/table/XCellRange.hpp>
#include <com/sun/star/table/XColumnRowRange.hpp>
#include <com/sun/star/table/XTableColumns.hpp>
#include <com/sun/star/task/ErrorCodeIOException.hpp>
#include <com/sun/star/text/XText.hpp>
#include <com/sun/star/uno/Exception.hpp>
#include <com/sun/star/util/Date.hpp>
#include <com/sun/star/util/XCloseBroadcaster.hpp>
#include <com/sun/star/util/XCloseListener.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <com/sun/star/util/XModifiable.hpp>
#include <com/sun/star/util/XNumberFormats.hpp>
#include <com/sun/star/util/XNumberFormatsSupplier.hpp>
#include <com/sun/star/view/XSelectionChangeListener.hpp>
#include <com/sun/star/view/XSelectionSupplier.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cppuhelper/implbase2.hxx>
#include <rtl/ref.hxx>
#include <rtl/ustring.hxx>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include <sys/types.h>

namespace kestrune::sheet::calc {

namespace css = com::sun::star;
using css::uno::Reference;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;
using rtl::OUString;

inline OUString toOU(const QString& s) {
  return OUString(reinterpret_cast<const sal_Unicode*>(s.utf16()), static_cast<sal_Int32>(s.size()));
}
inline QString toQ(const OUString& s) { return QString(reinterpret_cast<const QChar*>(s.getStr()), s.getLength()); }

// Listens to the bridge, or to the document and its view; called on bridge
// threads. One instance for each, as both end with disposing(): the bridge's
// end means LibreOffice is gone, the document's only that the workbook closed.
class Listener final : public cppu::WeakImplHelper2<css::util::XCloseListener, css::view::XSelectionChangeListener> {
public:
  enum class Source { Bridge, Document };
  Listener(CalcApp::Impl& impl, Source source) : impl_(impl), source_(source) {}
  void SAL_CALL queryClosing(const css::lang::EventObject&, sal_Bool) override;
  void SAL_CALL notifyClosing(const css::lang::EventObject&) override;
  void SAL_CALL selectionChanged(const css::lang::EventObject&) override;
  void SAL_CALL disposing(const css::lang::EventObject&) override;
  void detach() {
    std::lock_guard lock(mutex_);
    attached_ = false;
  }

private:
  template <typename F>
  void post(F f);
  CalcApp::Impl& impl_;
  const Source source_;
  std::mutex mutex_;
  bool attached_ = true;
};

struct CalcApp::Impl {
  CalcOptions options;
  CalcApp* owner = nullptr;
  pid_t pid = 0;
  QString profileDir;
  QString privateFolder;
  QString logFile;
  QString pipeName;
  QString workbookPath;
  QString workbookName;  // as the user named it, for messages
  QString openedFile;    // the file LibreOffice opened (a link resolved), for its lock file
  bool released = false;
  OfficeGuard guard;

  Reference<css::bridge::XBridge> bridge;
  Reference<css::frame::XDesktop2> desktop;
  Reference<css::frame::XModel> model;
  rtl::Reference<Listener> listener;        // the document and its view
  rtl::Reference<Listener> bridgeListener;  // the connection
  std::map<int, sal_Int32> formatKeys;

  std::atomic<bool> bridgeGone{false};
  std::atomic<bool> documentClosed{false};

  // Watchdog: a call running past its deadline ends LibreOffice.
  std::thread watchdog;
  std::mutex watchMutex;
  std::condition_variable watchWake;
  bool stopWatching = false;
  bool inCall = false;
  std::chrono::steady_clock::time_point deadline;
  std::atomic<bool> hung{false};

  ~Impl() { stopWatchdog(); }

  // LibreOffice's lifetime and the watchdog (calc_process.cpp).
  void startWatchdog();
  void stopWatchdog();
  // Runs `call` (which may throw UNO exceptions) under the watchdog; `what`
  // begins the description of a failure. A LibreOffice that is gone or
  // stopped answering fails with AccessLost, any other failure with `code`
  // when one is given.
  Status guarded(const QString& what, const std::function<void()>& call, std::optional<SheetError> code = std::nullopt);
  // Whether LibreOffice has a document open besides ours (one the user
  // opened in its window). Unknown counts as yes: that keeps it running.
  bool showsOtherDocuments();
  bool processAlive();
  // Waits for the process to end, then ends its group by force.
  void reap(std::chrono::milliseconds grace);
  void detachListener();
  // LibreOffice has ended: nothing of it stays behind. A LibreOffice that
  // was killed could not remove its lock file beside the workbook.
  void cleanUpAfterOffice();

  // The open document (calc_document.cpp).
  Status requireDocument() const;
  // The active sheet of the document's current view; throws when there is none.
  Reference<css::sheet::XSpreadsheet> activeSheet() const;
  void select(const css::uno::Any& what) const;
  Reference<css::awt::XWindow> window() const;
  // The number format a stamp's cell shows it through, added once per document.
  sal_Int32 formatKey(const Stamp& stamp);
  double serialOf(const Stamp& stamp) const;
};

}  // namespace kestrune::sheet::calc
