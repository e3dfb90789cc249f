// Build stamps of the server.  They are fixed texts, not the compiler's
// __DATE__/__TIME__, because the stored queries in every site database are
// checked against the document's stamp and the log banner shows the view's.
#pragma once

inline constexpr char kBuildDate[] = "Feb  5 2004";
// Stamp of the log view, shown in the hourly banner.
inline constexpr char kViewBuildStamp[] = "Feb  5 2004 10:22:59";
// Stamp of the document, against which the stored queries are compared.
inline constexpr char kDocBuildStamp[] = "Feb  5 2004 10:22:53";
inline constexpr char kVersionText[] = "Version 5.0.1";
