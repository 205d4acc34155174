#include "dac/mysql/MySqlResultSet.h"

#include <cstring>
#include <span>
#include <utility>

#include "dac/mysql/MySqlErrors.h"
#include "dac/mysql/MySqlNet.h"
#include "dac/mysql/MySqlSession.h"

namespace rivalon {

namespace {

[[noreturn]] void Malformed() { throw EMySqlException(CR_MALFORMED_PACKET); }

// A cursor over one payload that refuses to move past its end.
class TCursor {
public:
    TCursor(const std::uint8_t* p, std::size_t n) : FPos(p), FEnd(p + n) {}

    std::size_t Remaining() const noexcept { return static_cast<std::size_t>(FEnd - FPos); }
    const std::uint8_t* Pos() const noexcept { return FPos; }

    void Need(std::size_t n) const {
        if (Remaining() < n) Malformed();
    }
    std::uint8_t U8() {
        Need(1);
        return *FPos++;
    }
    std::uint32_t UInt(std::size_t bytes) {
        Need(bytes);
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < bytes; ++i) v |= static_cast<std::uint32_t>(FPos[i]) << (8 * i);
        FPos += bytes;
        return v;
    }
    void Skip(std::size_t n) {
        Need(n);
        FPos += n;
    }
    // A length-encoded integer; NULL (0xFB) reads as 0 with `isNull` set.
    std::uint64_t FieldLength(bool* isNull = nullptr) {
        const std::uint8_t c = U8();
        if (isNull) *isNull = false;
        if (c < 0xFB) return c;
        switch (c) {
        case 0xFB:
            if (!isNull) Malformed();
            *isNull = true;
            return 0;
        case 0xFC: return UInt(2);
        case 0xFD: return UInt(3);
        case 0xFE: {
            const std::uint64_t lo = UInt(4);
            const std::uint64_t hi = UInt(4);
            return lo | (hi << 32);
        }
        default: Malformed();
        }
    }
    // A length-encoded string; a NULL item gives an empty one.
    std::string LengthString() {
        bool isNull = false;
        const std::uint64_t n = FieldLength(&isNull);
        if (n > Remaining()) Malformed();
        std::string s(reinterpret_cast<const char*>(FPos), static_cast<std::size_t>(n));
        FPos += n;
        return s;
    }
    // A length-encoded item whose bytes are read by a nested cursor.
    TCursor Item() {
        const std::uint64_t n = FieldLength();
        if (n > Remaining()) Malformed();
        TCursor inner(FPos, static_cast<std::size_t>(n));
        FPos += n;
        return inner;
    }

private:
    const std::uint8_t* FPos;
    const std::uint8_t* FEnd;
};

} // namespace

bool IsNumField(std::uint8_t myType, std::uint32_t length) noexcept {
    if (myType <= MYSQL_TYPE_INT24)
        return myType != MYSQL_TYPE_TIMESTAMP || length == 14 || length == 8;
    return myType == MYSQL_TYPE_YEAR;
}

TMySqlFieldInfo MySqlFieldInfo(const std::uint8_t* payload, std::size_t length, bool protocol41,
                               bool longFlag) {
    TCursor c(payload, length);
    TMySqlFieldInfo f;
    if (protocol41) {
        c.LengthString(); // catalog
        f.Database = c.LengthString();
        f.Table = c.LengthString();
        f.OrgTable = c.LengthString();
        f.Name = c.LengthString();
        f.OrgName = c.LengthString();
        TCursor fixed = c.Item();
        f.CharsetNr = static_cast<std::int32_t>(fixed.UInt(2));
        f.Length = fixed.UInt(4);
        f.MyType = fixed.U8();
        // The flags are an unsigned 16-bit field; widening keeps the high bits clear.
        f.Flags = fixed.UInt(2);
        f.Scale = fixed.U8();
    } else {
        f.Table = c.LengthString();
        f.Name = c.LengthString();
        TCursor len = c.Item();
        f.Length = len.UInt(3);
        TCursor type = c.Item();
        f.MyType = type.U8();
        TCursor flags = c.Item();
        if (longFlag) {
            f.Flags = flags.UInt(2);
        } else {
            f.Flags = flags.U8();
        }
        f.Scale = flags.U8();
        f.OrgTable = f.Table;
    }
    if (IsNumField(f.MyType, f.Length)) f.Flags |= NUM_FLAG;
    return f;
}

void FetchFields(const std::uint8_t* row, std::size_t length, TMySqlBinds* binds) {
    if (!binds) throw EMySqlException(CR_NULL_POINTER);
    if (length > 0xFFFFFFFFu) Malformed();
    const std::uint8_t* p = row;
    const std::uint8_t* const end = row + length;
    // The hot loop of every result: one prefix and one bounds check per value.
    for (TMySqlBind& b : binds->Items) {
        if (p == end) Malformed();
        const std::uint8_t c = *p++;
        std::uint64_t n;
        if (c < 0xFB) {
            n = c;
        } else if (c == 0xFB) {
            b.IsNull = true;
            b.Offset = 0;
            b.Length = 0;
            continue;
        } else if (c == 0xFC) {
            if (end - p < 2) Malformed();
            n = p[0] | (static_cast<std::uint32_t>(p[1]) << 8);
            p += 2;
        } else if (c == 0xFD) {
            if (end - p < 3) Malformed();
            n = p[0] | (static_cast<std::uint32_t>(p[1]) << 8) | (static_cast<std::uint32_t>(p[2]) << 16);
            p += 3;
        } else if (c == 0xFE) {
            if (end - p < 8) Malformed();
            n = 0;
            for (int i = 7; i >= 0; --i) n = (n << 8) | p[i];
            p += 8;
        } else {
            Malformed();
        }
        if (n > static_cast<std::uint64_t>(end - p)) Malformed();
        b.IsNull = false;
        b.Offset = static_cast<std::uint32_t>(p - row);
        b.Length = static_cast<std::uint32_t>(n);
        p += n;
    }
    if (p != end) Malformed();
    binds->Buffer = row;
    binds->BufferLength = length;
}

void FetchPreparedFields(const std::uint8_t* row, std::size_t length,
                         const std::vector<TMySqlFieldInfo>& fields, TMySqlBinds* binds) {
    if (!binds) throw EMySqlException(CR_NULL_POINTER);
    if (length > 0xFFFFFFFFu || binds->Items.size() > fields.size()) Malformed();
    const std::size_t count = binds->Items.size();
    const std::size_t bitmapBytes = (count + 9) / 8;
    TCursor c(row, length);
    c.Skip(1); // the packet header byte 0x00
    const std::uint8_t* bitmap = c.Pos();
    c.Skip(bitmapBytes);
    for (std::size_t i = 0; i < count; ++i) {
        TMySqlBind& b = binds->Items[i];
        const std::size_t bit = i + 2;
        if (bitmap[bit / 8] & (1u << (bit % 8))) {
            b.IsNull = true;
            b.Offset = 0;
            b.Length = 0;
            continue;
        }
        std::uint64_t n;
        switch (fields[i].MyType) {
        case MYSQL_TYPE_TINY: n = 1; break;
        case MYSQL_TYPE_SHORT:
        case MYSQL_TYPE_YEAR: n = 2; break;
        case MYSQL_TYPE_LONG:
        case MYSQL_TYPE_FLOAT:
        case MYSQL_TYPE_INT24: n = 4; break;
        case MYSQL_TYPE_DOUBLE:
        case MYSQL_TYPE_LONGLONG: n = 8; break;
        default: n = c.FieldLength(); break;
        }
        if (n > c.Remaining()) Malformed();
        b.IsNull = false;
        b.Offset = static_cast<std::uint32_t>(c.Pos() - row);
        b.Length = static_cast<std::uint32_t>(n);
        c.Skip(static_cast<std::size_t>(n));
    }
    if (c.Remaining() != 0) Malformed();
    binds->Buffer = row;
    binds->BufferLength = length;
}


// ---- the row reader --------------------------------------------------------------------------

TMySqlResultSet::TMySqlResultSet(TMySqlSession* session, bool isPrepared)
    : ffieldCount(session->fieldCount),
      ffields(std::move(session->fields)),
      fsession(session),
      FBinds(session->fieldCount),
      FIsPrepared(isPrepared),
      FProtocol41(session->IsProtocol41()) {
    session->fields.clear();
}

TMySqlResultSet::~TMySqlResultSet() {
    if (fsession && fsession->FResultSet == this) fsession->FResultSet = nullptr;
}

bool TMySqlResultSet::Fetch(TMySqlBinds*& binds) {
    binds = nullptr;
    if (feof || !fsession) return false;
    TMySqlNet& net = *fsession->net;
    try {
        frowBuffer = nullptr;
        net.ReceiveRow();
        const std::span<const std::uint8_t> p = net.GetRow();
        // The end marker is at most 8 bytes; a row starting with 0xFE carries an 8-byte length.
        if (p.size() > 8 || p.empty() || p[0] != 0xFE) {
            frowBuffer = p.data();
            if (FIsPrepared)
                FetchPreparedFields(p.data(), p.size(), ffields, &FBinds);
            else
                FetchFields(p.data(), p.size(), &FBinds);
            binds = &FBinds;
            return true;
        }
        net.SetEof();
        fsession->ReadStatus();
        fsession->status = msReady;
        feof = true;
        return false;
    } catch (const EMySqlException& e) {
        // A broken stream or an error packet ends this result; after an error packet the server
        // runs no further statement of the request, whatever the last status said.
        frowBuffer = nullptr;
        feof = true;
        if (e.IsServerError()) fsession->serverStatus &= ~SERVER_MORE_RESULTS_EXISTS;
        throw;
    } catch (...) {
        frowBuffer = nullptr;
        feof = true;
        throw;
    }
}

void TMySqlResultSet::ReadRow(TMySqlBinds*& binds, std::uint32_t index) {
    binds = nullptr;
    if (!fsession) throw EMySqlException(CR_NULL_POINTER);
    const std::span<const std::uint8_t> p = fsession->net->GetRows(static_cast<int>(index));
    if (FIsPrepared)
        FetchPreparedFields(p.data(), p.size(), ffields, &FBinds);
    else
        FetchFields(p.data(), p.size(), &FBinds);
    frowBuffer = p.data();
    binds = &FBinds;
}

void TMySqlResultSet::ClearBuffer() {
    frowBuffer = nullptr;
    FBinds.Buffer = nullptr;
    FBinds.BufferLength = 0;
    ffields.clear();
    TMySqlSession* s = fsession;
    fsession = nullptr;
    if (s) {
        if (s->FResultSet == this) s->FResultSet = nullptr;
        // A reader at its end (the final EOF, an error packet or a broken stream) has nothing left
        // on the wire to discard.
        if (feof) {
            if (s->status == msUseResult) s->status = msReady;
        } else {
            s->FreeQuery();
        }
    }
}

} // namespace rivalon
