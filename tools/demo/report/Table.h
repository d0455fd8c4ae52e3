// Table: figures as rows of cells, for the report page, which writes them as an HTML table.
// Cells are plain text already worded with their units; the page escapes them.
// A plain value: not thread-safe to change while another thread reads it.
#pragma once

#include <string>
#include <vector>

namespace demo {

struct Table {
    std::string id;                              // the table's id on the page
    std::string title;                           // a short heading
    std::string caption;                         // what the figures are, in a sentence or two
    std::vector<std::string> header;             // column titles; empty: rows of label and value
    std::vector<std::vector<std::string>> rows;  // the first cell of each names its row
};

}  // namespace demo
