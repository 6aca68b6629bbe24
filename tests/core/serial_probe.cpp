// Opens a port with Serial in a process of its own, for the tests of
// exclusive access between processes.
//   serial_probe PORT         open, report, close
//   serial_probe PORT hold    open, report, keep the port until stdin ends
// Prints "open" or "error: <text>"; exits 0 when the port opened.

#include "serial.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: serial_probe PORT [hold]\n");
        return 2;
    }
    Serial serial;
    serial.setFileName(QString::fromLocal8Bit(argv[1]));
    if (!serial.open()) {
        std::printf("error: %s\n", serial.errorString().toLocal8Bit().constData());
        return 1;
    }
    std::printf("open\n");
    std::fflush(stdout);
    if (argc > 2 && qstrcmp(argv[2], "hold") == 0) {
        while (std::fgetc(stdin) != EOF) {
        }
    }
    return 0;
}
