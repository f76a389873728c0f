// A textrill run for the closing test: the program's own start-up and window,
// with the recognition address and the picture path given as arguments. It
// presses GO at once and closes its window when a line (or end of file)
// arrives on its standard input. Exit code 0 after a normal close.
#include <curl/curl.h>
#include <unistd.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <memory>

#include "app/globals.h"
#include "app/intake.h"
#include "app/main_window.h"
#include "app/recognition_job.h"
#include "http/http_session.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
  {
    QApplication app(argc, argv);
    textrill::Session = std::make_unique<textrill::HttpSession>();
    textrill::RecognitionUrl = argv[2];

    textrill::MainWindow window;
    window.SetBrowseHandler(textrill::OnBrowse);
    window.SetGoHandler(textrill::OnGo);
    window.SetClosingHook(textrill::StopRecognition);
    window.PathBox()->setPlainText(QString::fromLocal8Bit(argv[1]));
    window.show();
    QTimer::singleShot(0, &window, [&window] { window.GoButton()->click(); });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &window, [&window, &input] {
      input.setEnabled(false);
      window.close();
    });
    app.exec();
  }
  textrill::Session.reset();
  curl_global_cleanup();
  return 0;
}
