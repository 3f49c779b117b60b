// Makes a Pocket Vault file for the end-to-end tests, at the product's key-derivation cost:
//   larkhold-e2e-pocket-vault PATH [CAPACITY_MB]   (the password on standard input, one line)
#include "PocketStorage.h"

#include <QCoreApplication>
#include <QTextStream>
#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 2) {
        std::fputs("usage: larkhold-e2e-pocket-vault PATH [CAPACITY_MB] < password\n", stderr);
        return 2;
    }
    const int capacityMB = arguments.size() > 2 ? arguments.at(2).toInt() : 1;
    QTextStream input(stdin);
    const QString password = input.readLine();
    try {
        larkhold::PocketStorage::create(arguments.at(1), capacityMB, password, false);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
