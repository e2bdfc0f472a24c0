// Shows a 299 x 300 window, prints one line once the event loop has run and
// quits: the start-up cost every Qt Widgets program pays.
#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window(nullptr, Qt::Window | Qt::FramelessWindowHint);
    window.setFixedSize(299, 300);
    window.show();
    QTimer::singleShot(0, &app, [] {
        std::puts("Window Shown");
        std::fflush(stdout);
        QCoreApplication::quit();
    });
    return QApplication::exec();
}
