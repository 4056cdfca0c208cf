#pragma once

#include <QString>

namespace korvextest {
// The text of a PDF as pdftotext lays it out; "<pdftotext failed>" when it cannot be read.
QString PdfText(const QString &path);
} // namespace korvextest
