// textrill: start-up, the event loop and exit.
#include <curl/curl.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <memory>

#include "app/globals.h"
#include "app/intake.h"
#include "app/main_window.h"
#include "app/recognition_job.h"
#include "http/http_session.h"
#include "platform/heap.h"

int main(int argc, char** argv) {
  // libcurl's global state, once, before any thread exists.
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
  {
    QApplication app(argc, argv);
    // Relative paths typed into the path box are read from the program's
    // own folder.
    QDir::setCurrent(QCoreApplication::applicationDirPath());

    textrill::Session = std::make_unique<textrill::HttpSession>();
    // Runs when the application object goes away, after the event loop.
    qAddPostRoutine(textrill::ExitCleanup);
    textrill::ProcessHeap = textrill::platform::GetProcessHeap();

    textrill::MainWindow window;
    window.SetBrowseHandler(textrill::OnBrowse);
    window.SetGoHandler(textrill::OnGo);
    // Runs once the window refuses control operations and before the event
    // loop ends: cancels a running recognition and waits for its worker, so
    // neither the window nor Session is used after they are gone.
    window.SetClosingHook(textrill::StopRecognition);
    window.show();
    app.exec();
  }
  curl_global_cleanup();
  return 0;
}
