// Printing a file document: its text laid out to the page's width, black on white, with margins
// of half an inch, on a printer or a PDF writer.
#pragma once

#include "platform/QVError.h"

class QPagedPaintDevice;
class QVFileDocument;

class QVPrintOperation {
public:
    // The margin on every side, in points.
    static constexpr double Margin = 36.0;

    // Gives the device the document's page settings: the margins, the page size kept.
    static void configure(QPagedPaintDevice& device);
    // Whether the document has something to print (a text; an image has no print layout).
    static bool canPrint(const QVFileDocument& document);
    // Prints every page of the document's full text on device (configured by the caller, or
    // with configure()). False, with error, when there is no text or the device refuses.
    static bool print(const QVFileDocument& document, QPagedPaintDevice& device, QVError* error = nullptr);
};
