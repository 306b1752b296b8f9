#include "package/part_sequence.h"

#include "package/package_reader.h"

namespace velmara {

namespace {

// The parts the installer stops at inside a signed range, in the one order it reads them: the
// header's lists (texts it does not stop at), the image, the file container. Any of them out of
// this order, or twice, is met where the installer expects a later one and refuses the package.
int rank(uint16_t type) {
    switch (type) {
        case PartType::Architecture:
            return 0;
        case PartType::Depends:
            return 1;
        case PartType::Provides:
            return 2;
        case PartType::Conflicts:
            return 3;
        case PartType::Image:
            return 4;
        case PartType::Files:
            return 5;
        default:
            return -1;
    }
}

bool emptyMarker(uint16_t type, uint32_t length) {
    return type == PartType::Sha256Marker && length == 0;
}

}  // namespace

PartRole PartSequence::misplaced(uint16_t type, const char* where) {
    if (problem_.empty())
        problem_ = "part " + std::to_string(index_ + 1) + ", of type " + std::to_string(type) +
                   ", cannot stand " + where;
    state_ = State::Broken;
    return PartRole::Misplaced;
}

PartRole PartSequence::body(uint16_t type, const char* where) {
    switch (type) {
        case PartType::Header:
        case PartType::BundleHeader:
        case PartType::DisabledMembers:
        case PartType::BundleSignature:
            return misplaced(type, where);
        default:
            break;
    }
    const int r = rank(type);
    if (r >= 0) {
        if (r <= lastRank_) return misplaced(type, where);
        lastRank_ = r;
    }
    return PartRole::Body;
}

void PartSequence::finish(bool cutInsidePartHeader) {
    if (state_ == State::MemberMarkers) misplaced(PartType::Sha256Marker, "without a header after it");
    // Bytes too few for a part header are no part, whatever length the outer header declares.
    if (cutInsidePartHeader && problem_.empty()) {
        problem_ = "the data ends inside the part header after part " + std::to_string(index_);
        state_ = State::Broken;
    }
}

PartRole PartSequence::enterPackage(State next) {
    state_ = next;
    lastRank_ = -1;
    return PartRole::Header;
}

PartRole PartSequence::add(uint16_t type, uint32_t length) {
    const PartRole role = [&] {
        const bool header = type == PartType::Header;
        const bool marker = emptyMarker(type, length);
        switch (state_) {
            case State::Start:
                if (marker) return PartRole::Marker;
                if (header) return enterPackage(State::Package);
                if (type == PartType::BundleHeader) {
                    state_ = State::BundleOwn;
                    return PartRole::BundleHeader;
                }
                return misplaced(type, "before the package's header");
            case State::Package:
                if (type == PartType::Signature) {
                    state_ = State::AfterSignature;
                    return PartRole::Signature;
                }
                return body(type, "inside a package, before its signature");
            case State::AfterSignature:
                if (type == PartType::Architecture) {
                    state_ = State::AfterArchitecture;
                    return PartRole::Trailer;
                }
                [[fallthrough]];
            case State::AfterArchitecture:
                if (type == PartType::Depends && length == 0) {
                    state_ = State::AfterTrailer;
                    return PartRole::Trailer;
                }
                return misplaced(type, "after the package's signature");
            case State::AfterTrailer:
                return misplaced(type, "after the package's signature");
            case State::BundleOwn:
                if (marker) {
                    state_ = State::MemberMarkers;
                    return PartRole::Marker;
                }
                if (header) return enterPackage(State::Member);
                // Those would be taken for a member's, or for the bundle's end.
                if (type == PartType::Signature || type == PartType::Files ||
                    type == PartType::BundleHeader || type == PartType::BundleSignature ||
                    type == PartType::Sha256Marker)
                    return misplaced(type, "among the bundle's own parts");
                return PartRole::BundleOwn;
            case State::MemberMarkers:
                if (marker) return PartRole::Marker;
                if (header) return enterPackage(State::Member);
                return misplaced(type, "between a marker and a member's header");
            case State::Member:
                if (type == PartType::Signature) {
                    state_ = State::MemberSigned;
                    return PartRole::Signature;
                }
                return body(type, "inside a bundle member, before its signature");
            case State::MemberSigned:
                if (marker) {
                    state_ = State::MemberMarkers;
                    return PartRole::Marker;
                }
                if (header) return enterPackage(State::Member);
                if (type == PartType::BundleSignature) {
                    state_ = State::BundleSigned;
                    return PartRole::BundleSignature;
                }
                [[fallthrough]];
            case State::BundleSigned:
                if (type == PartType::Architecture) {
                    state_ = State::BundleTrailer;
                    return PartRole::Trailer;
                }
                return misplaced(type, "after the bundle's last member");
            case State::BundleTrailer:
                return misplaced(type, "after the bundle's closing architecture part");
            case State::Broken:
                break;
        }
        return PartRole::Misplaced;
    }();
    ++index_;
    return role;
}

}  // namespace velmara
