#include "velcoreplatform/TFormatString.h"

TString TFormatString::ToString() const {
    const QString& pattern = m_pattern.toQString();
    QString out;
    out.reserve(pattern.size());
    for (int i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        if (c == '%' && i + 1 < pattern.size() && pattern[i + 1].isDigit() &&
            pattern[i + 1] != '0') {
            // Longest run of digits that still names an argument (so "%10" is the tenth when
            // there are ten arguments, else the first followed by "0").
            int j = i + 1;
            int number = 0;
            int bestEnd = -1;
            int best = 0;
            while (j < pattern.size() && pattern[j].isDigit()) {
                number = number * 10 + pattern[j].digitValue();
                ++j;
                if (number >= 1 && std::size_t(number) <= m_args.size()) {
                    best = number;
                    bestEnd = j;
                }
                if (number > 1000000) break;
            }
            if (bestEnd > 0) {
                out += m_args[std::size_t(best - 1)].toQString();
                i = bestEnd - 1;
                continue;
            }
        }
        out += c;
    }
    return TString(out);
}
