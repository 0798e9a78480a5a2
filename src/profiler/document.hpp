// A trace document handed to storage in pieces: the bytes of build_trace(), read as a
// sequence of bytes objects of about a megabyte, so that storing a trace of a gigabyte
// never holds a second copy of it.
#pragma once

#include "common.hpp"

#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace sarv {

// The document as a list of parts: short ones (headers, keys) copied here, long ones
// (runs of buffered records, long texts) referred to where they are. Whoever fills it
// keeps the referred memory alive while the parts are read.
class DocumentParts {
public:
    // The sink interface of MsgpackWriter.
    void write(const char* data, size_t size);

    size_t size() const { return size_; }
    size_t part_count() const { return parts_.size(); }
    std::string_view part(size_t i) const {
        const Part& p = parts_[i];
        return p.owned == NOT_OWNED ? p.view : std::string_view(owned_[p.owned]);
    }

private:
    static constexpr size_t NOT_OWNED = static_cast<size_t>(-1);
    static constexpr size_t REFER_FROM = 4096;  // parts at least this long are not copied
    struct Part {
        std::string_view view;
        size_t owned = NOT_OWNED;
    };
    std::deque<std::string> owned_;
    std::vector<Part> parts_;
    size_t size_ = 0;
};

// Wraps `parts` (not owned) in a new Python iterator of bytes pieces. Its attributes
// describe the document without reading it: `record_count`, `tail_offset` (where the
// entries after the records begin) and `edge_records` (a tuple of the first records of
// "frames_of_interest" and its last, as bytes). detach_document_pieces() must be called
// before `parts` goes away: the iterator then yields nothing more.
Ref new_document_pieces(const DocumentParts* parts, size_t record_count, size_t tail_offset, Ref edge_records);
void detach_document_pieces(PyObject* pieces);

}  // namespace sarv
