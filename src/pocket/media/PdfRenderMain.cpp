// larkhold-pdf-render [--limits MIB SECONDS] FD: reads a PDF and draws its pages, in a process of
// its own so that a PDF that hangs or crashes the PDF library holds or takes down only this process
// (see PdfRenderer.h), sealed off before it reads the PDF (Confinement.h).
//
// The PDF's bytes come from the memory file FD, read whole and closed. The first answer on stdout is
// one line: "ready N" followed by N lines "WIDTH HEIGHT" (the pages' sizes in points), or "locked"
// (the PDF asks for a password), or "unreadable". Then each line "page INDEX WIDTH HEIGHT" on stdin
// is answered with "image INDEX WIDTH HEIGHT" and the page's pixels, 4 bytes each, premultiplied
// ARGB in the machine's word order, row after row. The process ends when stdin closes.
#include "Confinement.h"
#include "DumpProtection.h"
#include "HelperPipe.h"
#include "PdfRenderProtocol.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QPdfDocument>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

using larkhold::helperpipe::writeAll;
using larkhold::helperpipe::writeLine;

QByteArray readFd(int fd) {
    return larkhold::helperpipe::readInput(fd, larkhold::pdfrender::kMaxDocumentBytes);
}

// Pages are paper: what the PDF leaves transparent is white.
void onWhite(QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        auto* pixel = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const int clear = 255 - qAlpha(pixel[x]);
            pixel[x] = qRgba(qRed(pixel[x]) + clear, qGreen(pixel[x]) + clear, qBlue(pixel[x]) + clear, 255);
        }
    }
}

// The PDF library sets itself up on the first document and draws with what it carries: the standard
// fonts are built in, and fonts a PDF names but does not embed are drawn with those, since no font
// file can be opened once sealed off.
void warmUp() {
    static QByteArray tiny = "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
                             "2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n"
                             "3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 10 10] >> endobj\n"
                             "trailer << /Root 1 0 R >>\n%%EOF\n";
    QBuffer buffer(&tiny);
    buffer.open(QIODevice::ReadOnly);
    QPdfDocument document;
    document.load(&buffer);
    if (document.status() == QPdfDocument::Status::Ready)
        (void)document.render(0, QSize(2, 2));
}

} // namespace

int main(int argc, char** argv) {
    // What the PDF holds is decrypted vault content.
    larkhold::protectProcessFromDumps();
    namespace confinement = larkhold::confinement;
    confinement::Arguments arguments;
    if (!confinement::parseArguments(argc, argv, arguments))
        return 2;
    const int fd = arguments.fd;
    if (!confinement::confine(arguments.limits, {fd}, warmUp)) {
        writeLine(confinement::kUnconfinedLine);
        return confinement::kUnconfinedExitCode;
    }
    if (arguments.probe) {
        confinement::probe(fd);
        return 0;
    }

    QByteArray bytes = readFd(fd);
    larkhold::keepOutOfDumps(bytes.data(), std::size_t(bytes.size()));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QPdfDocument document;
    document.load(&buffer);
    if (document.error() == QPdfDocument::Error::IncorrectPassword)
        return writeLine("locked") ? 0 : 1;
    if (document.status() != QPdfDocument::Status::Ready) {
        writeLine("unreadable");
        return 0;
    }
    const int pages = document.pageCount();
    QByteArray header = "ready " + QByteArray::number(pages);
    for (int page = 0; page < pages; ++page) {
        const QSizeF size = document.pagePointSize(page);
        header += '\n' + QByteArray::number(size.width(), 'g', 9) + ' ' + QByteArray::number(size.height(), 'g', 9);
    }
    if (!writeLine(header))
        return 1;

    std::FILE* in = ::fdopen(STDIN_FILENO, "r");
    char line[128];
    while (in && std::fgets(line, sizeof line, in)) {
        int page = -1;
        int width = 0;
        int height = 0;
        if (std::sscanf(line, "page %d %d %d", &page, &width, &height) != 3 || page < 0 || page >= pages ||
            !larkhold::pdfrender::sizeAllowed(width, height))
            return 2;
        QImage image = document.render(page, QSize(width, height));
        if (image.isNull())
            image = QImage(width, height, QImage::Format_ARGB32_Premultiplied), image.fill(Qt::white);
        image = std::move(image).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        if (image.size() != QSize(width, height))
            image = image.scaled(width, height);
        onWhite(image);
        if (!writeLine("image " + QByteArray::number(page) + ' ' + QByteArray::number(width) + ' ' +
                       QByteArray::number(height)))
            return 1;
        for (int y = 0; y < height; ++y)
            if (!writeAll(image.constScanLine(y), std::size_t(width) * 4))
                return 1;
    }
    return 0;
}
