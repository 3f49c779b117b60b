#pragma once

#include "TestFiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>

namespace larkhold::test {

// A PDF made of `objects` (numbered from 1, the first the catalog) with a correct cross-reference table.
inline QByteArray pdfOf(const QList<QByteArray>& objects) {
    QByteArray pdf = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets << pdf.size();
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (const qsizetype o : offsets)
        pdf += QByteArray::number(o).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           QByteArray::number(xref) + "\n%%EOF\n";
    return pdf;
}

// A PDF whose page tree names itself as its own kid: the PDF library loops over it for ever.
inline QByteArray selfListingPdf() {
    return pdfOf({"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [2 0 R] /Count 1 >>"});
}

// A 3 KB PDF whose one page draws a form four times, which draws the next form four times, and so on
// sixteen forms deep: the PDF library holds every use of a form apart, and grows by gigabytes.
inline QByteArray nestedFormsPdf() {
    constexpr int depth = 16;
    QList<QByteArray> objects{"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                              "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 300] /Contents 4 0 R "
                              "/Resources << /XObject << /X 5 0 R >> >> >>",
                              "<< /Length 5 >>\nstream\n/X Do\nendstream"};
    for (int form = 0; form < depth; ++form) {
        const bool last = form == depth - 1;
        const QByteArray content = last ? "0 0 1 1 re f" : "/X Do /X Do /X Do /X Do";
        const QByteArray resources =
            last ? QByteArray() : "/Resources << /XObject << /X " + QByteArray::number(6 + form) + " 0 R >> >> ";
        objects << "<< /Type /XObject /Subtype /Form /BBox [0 0 200 300] " + resources + "/Length " +
                       QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream";
    }
    return pdfOf(objects);
}

// A PDF of `pages` pages of 200 × 300 points.
inline QByteArray pagesPdf(int pages) {
    QByteArray kids;
    QList<QByteArray> objects{"<< /Type /Catalog /Pages 2 0 R >>", {}};
    for (int page = 0; page < pages; ++page) {
        kids += QByteArray::number(page + 3) + " 0 R ";
        objects << "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 300] >>";
    }
    objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + QByteArray::number(pages) + " >>";
    return pdfOf(objects);
}

// This process's running PDF renderers.
inline QList<int> pdfRenderers() {
    return childrenNamed("larkhold-pdf-re");
}

} // namespace larkhold::test
