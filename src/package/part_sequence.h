// Which part may stand where in a package file. A signature covers only the bytes from a
// package's header part to its signature part, and a bundle signature only the bundle's own
// parts and its members' digests; whatever lies outside those ranges is unsigned, so only the
// few parts whose meaning is harmless may stand there. The installer's reader and the packaging
// tool feed every part header through this one order, so they agree on which files it allows.
#pragma once

#include <cstdint>
#include <string>

namespace velmara {

enum class PartRole {
    Marker,           // an empty SHA-256 marker before a header part
    BundleHeader,     // the bundle's header part
    BundleOwn,        // the bundle's own parts after its header: texts, lists, image, part 20
    Header,           // a package's header part: its signed range starts here
    Body,             // a part inside a package's signed range
    Signature,        // the package's signature part: its signed range ends at its part header
    BundleSignature,  // the bundle's signature part, after its last member
    Trailer,          // an architecture part or an empty dependency part at the end
    Misplaced,        // none may stand here: the file is refused
};

class PartSequence {
  public:
    // The role of the next part; Misplaced once any part stood where none may (for good).
    PartRole add(uint16_t type, uint32_t length);

    // The data ended: a marker with no header after it stood where none may, and so do bytes
    // after the last part that are too few for a part header.
    void finish(bool cutInsidePartHeader);

    bool broken() const { return !problem_.empty(); }
    // Why the file is refused, naming the first misplaced part; empty when nothing is wrong.
    const std::string& problem() const { return problem_; }

  private:
    enum class State {
        Start,             // nothing but markers yet
        Package,           // inside a single package's signed range
        AfterSignature,    // after a single package's signature
        AfterArchitecture, // after its trailing architecture part
        AfterTrailer,      // after its trailing empty dependency part
        BundleOwn,         // the bundle's own parts
        MemberMarkers,     // markers before a member's header
        Member,            // inside a member's signed range
        MemberSigned,      // after a member's signature
        BundleSigned,      // after the bundle signature
        BundleTrailer,     // after the bundle's trailing architecture part
        Broken,
    };

    PartRole misplaced(uint16_t type, const char* where);
    // Inside a signed range: the parts the installer stops at must come in its one order.
    PartRole body(uint16_t type, const char* where);
    // A package's or member's header: its body parts start over in their order.
    PartRole enterPackage(State next);

    State state_ = State::Start;
    int lastRank_ = -1;  // rank of the last ordered part inside the current signed range
    uint64_t index_ = 0;  // of the part being added, counted from 0
    std::string problem_;
};

}  // namespace velmara
