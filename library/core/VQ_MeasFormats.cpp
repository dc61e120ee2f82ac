#include "library/core/VQ_MeasFormats.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <string>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"

namespace {

// Fraction digits of a byte-stream value by its exponent r (1..16; 0 unused).
constexpr std::array<int, 17> kDigitsByExponent = {11, 11, 11, 11, 10, 10, 10, 9, 9, 9, 8, 8, 8, 7, 7, 7, 7};
// Average scaling by interval position: exponent offset A and divisor D.
constexpr std::array<int, 21> kAverageExponent = {0, 1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14, 15, 8, 15, 15, 15, 15, 15, 15};
constexpr std::array<double, 21> kAverageDivisor = {1,    2,    5,     10,    20,  50,    100,   200,   500,   1000, 2000,
                                                    5000, 10000, 20000, 250, 25000, 25000, 25000, 31250, 31250, 31250};
// Fraction digits of an ESP value by the expo bits e.
constexpr std::array<int, 16> kEspDigits = {11, 11, 11, 10, 10, 10, 10, 9, 9, 9, 8, 8, 8, 7, 7, 7};

constexpr uint64_t kHighMask = (uint64_t{1} << 62) - 1;  // High keeps 62 bits
constexpr double kTwo62 = 4611686018427387904.0;
constexpr double kTwo63 = 9223372036854775808.0;

constexpr std::size_t kFieldText = 25;   // number text of a measurement field
constexpr std::size_t kFieldWidth = 26;  // field without its ";"
constexpr std::size_t kLineCodeRoom = 8;  // the caller puts the report code in front

enum TMode : int { kPhase, kPhaseAvg, kFrequency, kFrequencyAvg, kPhaseDiff, kPhaseAvgDiff, kRawData };

int ModeOf(uint16_t header) { return (header >> 12) & 7; }

// The interval index, plus 14 with the extension bit (bit 1).
int IntervalPosition(uint16_t header) { return ((header >> 8) & 0x0F) + ((header & 0x02) != 0 ? 14 : 0); }

int64_t AddToHigh(int64_t high, uint64_t amount, bool subtract = false) {
  const uint64_t h = static_cast<uint64_t>(high);
  return static_cast<int64_t>((subtract ? h - amount : h + amount) & kHighMask);
}

// Whole sum in 64-bit two's complement: wraps instead of overflowing.
int64_t WrappingSum(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

std::string PadLeft(std::string text, std::size_t width) {
  if (text.size() < width) text.insert(0, width - text.size(), ' ');
  return text;
}

std::string CutPadLeft(std::string text, std::size_t cut, std::size_t width) {
  if (text.size() > cut) text.resize(cut);
  return PadLeft(std::move(text), width);
}

// Appends `text`, cut to `cut` characters, right-aligned in `width`.
void AppendCutPadLeft(std::string& out, std::string_view text, std::size_t cut, std::size_t width) {
  if (text.size() > cut) text = text.substr(0, cut);
  if (text.size() < width) out.append(width - text.size(), ' ');
  out.append(text);
}

// A magnitude split into whole units and `digits` fraction digits, rounded
// once: a fraction that rounds up to 1 carries into the whole part. Kept on
// the stack: every field of every measurement passes here.
struct TRounded {
  static constexpr int kMaxDigits = 24;
  uint64_t Whole = 0;
  std::array<char, kMaxDigits> Digits{};
  std::size_t Count = 0;
  std::string_view Fraction() const { return {Digits.data(), Count}; }
};

// `magnitude` is finite, >= 0 and below 2^63.
TRounded RoundMagnitude(double magnitude, int digits) {
  digits = std::clamp(digits, 0, TRounded::kMaxDigits);
  const double whole = std::trunc(magnitude);
  std::array<char, TRounded::kMaxDigits + 8> text{};  // "0.ddd" or "1.000"
  const auto res = ToCharsFixed(text.data(), text.data() + text.size(), magnitude - whole, digits);
  TRounded r;
  r.Whole = static_cast<uint64_t>(whole) + (text[0] == '1' ? 1 : 0);
  if (digits > 0) {
    r.Count = static_cast<std::size_t>(res.ptr - text.data()) - 2;
    std::copy_n(text.data() + 2, r.Count, r.Digits.data());
  }
  return r;
}

constexpr std::array<uint64_t, 16> kPow10 = {
    1,           10,           100,           1000,           10000,           100000,           1000000,
    10000000,    100000000,    1000000000,    10000000000,    100000000000,    1000000000000,    10000000000000,
    100000000000000, 1000000000000000};

// q x 2^-k (0 < k < 64) rounded to `digits` (at most 15) fraction digits in
// integers: the digits a correctly rounded decimal conversion gives (ties to
// even), at a fraction of its cost. Phase and phase difference values of
// byte-stream counters are of this form, and so is every double.
TRounded RoundDyadic(uint64_t q, int k, int digits) {
  using u128 = unsigned __int128;
  TRounded r;
  const uint64_t mask = (uint64_t{1} << k) - 1;
  r.Whole = q >> k;
  const u128 scaled = static_cast<u128>(q & mask) * kPow10[static_cast<std::size_t>(digits)];
  uint64_t fraction = static_cast<uint64_t>(scaled >> k);
  const u128 rest = scaled & mask;
  const u128 half = u128{1} << (k - 1);
  if (rest > half || (rest == half && (fraction & 1) != 0)) ++fraction;
  if (fraction == kPow10[static_cast<std::size_t>(digits)]) {
    ++r.Whole;
    fraction = 0;
  }
  r.Count = static_cast<std::size_t>(digits);
  for (std::size_t i = r.Count; i-- > 0; fraction /= 10) r.Digits[i] = static_cast<char>('0' + fraction % 10);
  return r;
}

// A finite magnitude below 2^63, rounded like RoundMagnitude: a double is
// M x 2^E with a 53-bit M, so all but the tiniest take the integer path.
TRounded RoundDouble(double magnitude, int digits) {
  int exponent = 0;
  const double mantissa = std::frexp(magnitude, &exponent);
  const auto m = static_cast<uint64_t>(std::ldexp(mantissa, 53));
  const int e = exponent - 53;
  if (magnitude == 0.0 || e >= 0) {
    TRounded r;
    r.Whole = magnitude == 0.0 ? 0 : m << e;
    r.Count = static_cast<std::size_t>(digits);
    std::fill_n(r.Digits.data(), r.Count, '0');
    return r;
  }
  if (e >= -63) return RoundDyadic(m, -e, digits);
  return RoundMagnitude(magnitude, digits);
}

// Decimal text of a whole number into `at`; returns the end.
template <typename T>
char* WriteWhole(char* at, T value) {
  return std::to_chars(at, at + 24, value).ptr;
}

void Info(const TVQ_FieldOptions& opt, const std::string& text) { LogInfo(opt.LogId, opt.LogTag + text); }
void Error(const TVQ_FieldOptions& opt, const std::string& text) { LogError(opt.LogId, opt.LogTag + text); }

// ---- byte-stream values ------------------------------------------------------

struct TBinValue {
  int R = 16;          // exponent, 1..16
  uint64_t Q = 0;      // 52-bit mantissa
  int TopNibble = 0;   // top 4 mantissa bits
};

TBinValue ReadBinValue(std::string_view v) {
  const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(v[i]); };
  TBinValue value;
  value.R = byte(0) >> 4;
  if (value.R == 0) value.R = 16;
  value.TopNibble = byte(0) & 0x0F;
  value.Q = static_cast<uint64_t>(value.TopNibble);
  for (std::size_t i = 1; i < VQ_BinValueBytes; ++i) value.Q = (value.Q << 8) | byte(i);
  return value;
}

// Adds the whole cycles lost since the previous phase of the channel.
void ContinuePhase(TVQ_ChannelTrack& t, double s, int m, int nNew) {
  const double f = t.Low;
  if (f > 0) {
    const int l = t.ExpoAlt;
    const uint64_t step = uint64_t{1} << (m + 16);
    if (l + 1 == m) {
      if (f > s) t.High = AddToHigh(t.High, step);
      if (f + static_cast<double>(step) < s) t.High = AddToHigh(t.High, step, true);
    } else if (l == m) {
      if (f > s) t.High = AddToHigh(t.High, step << 1);
    } else if (l == m + 1) {
      if (f > s) {
        const bool newTop = (nNew & 8) != 0;
        switch ((t.NumAlt >> 2) & 3) {
          case 1:
            if (!newTop) t.High = AddToHigh(t.High, step << 1);
            break;
          case 2:
            t.High = AddToHigh(t.High, step << 1);
            break;
          case 3:
            t.High = AddToHigh(t.High, newTop ? step << 1 : step << 2);
            break;
          default:
            break;
        }
      }
    } else {
      t.High = 0;
    }
  }
  t.Low = s;
  t.ExpoAlt = m;
  t.NumAlt = nNew;
}

// Phase field: accumulated cycles plus the value, right-aligned in 26.
void AppendBinPhaseField(std::string& out, int64_t high, const TRounded& r, char separator) {
  std::array<char, 64> text;
  char* end = WriteWhole(text.data(), WrappingSum(static_cast<int64_t>(r.Whole), high));
  *end++ = separator;
  end = std::copy_n(r.Digits.data(), r.Count, end);
  out += ';';
  AppendCutPadLeft(out, std::string_view(text.data(), static_cast<std::size_t>(end - text.data())), kFieldText,
                   kFieldWidth);
}

// Frequency and phase-difference field: whole part padded or cut from the
// left so that whole part and fraction take 25 characters.
void AppendSplitField(std::string& out, bool negative, const TRounded& r, char separator) {
  std::array<char, 24> digitText;
  const std::string_view digits(digitText.data(),
                                static_cast<std::size_t>(WriteWhole(digitText.data(), r.Whole) - digitText.data()));
  const std::size_t room = kFieldText - std::min(r.Count, kFieldText - 2);
  const std::size_t sign = negative ? 1 : 0;
  out += ';';
  if (digits.size() + sign <= room) {
    out.append(room - digits.size() - sign, ' ');
    if (negative) out += '-';
    out += digits;
  } else {
    if (negative) out += '-';
    out += digits.substr(digits.size() - (room - sign));
  }
  out += separator;
  out += r.Fraction();
}

std::string BinRawField(std::string_view v) {
  const auto pair = [&](std::size_t i) {
    return HexText(static_cast<uint8_t>(v[i]), 2) + HexText(static_cast<uint8_t>(v[i + 1]), 2);
  };
  return "; " + pair(0) + "," + pair(2) + "," + pair(4);
}

// ---- ESP values --------------------------------------------------------------

uint64_t ReadLittleEndian64(std::string_view v) {
  uint64_t bits = 0;
  for (std::size_t i = VQ_EspValueBytes; i-- > 0;) bits = (bits << 8) | static_cast<uint8_t>(v[i]);
  return bits;
}

int EspExpo(std::string_view v) { return (static_cast<uint8_t>(v[7]) >> 2) & 0x0F; }

// The ESP phase: the expo bits (5-2 of the top byte) stand where the double
// has exponent bits; they are restored from the exponent's top bit.
double EspPhaseDouble(std::string_view v) {
  uint64_t bits = ReadLittleEndian64(v);
  constexpr uint64_t kExpoBits = uint64_t{0x3C} << 56;
  constexpr uint64_t kExponentTop = uint64_t{0x40} << 56;
  bits &= ~kExpoBits;
  if ((bits & kExponentTop) == 0) bits |= kExpoBits;
  return std::bit_cast<double>(bits);
}

std::string EspPhaseText(int64_t whole, std::string_view fraction, char separator) {
  std::string text = std::to_string(whole) + separator + std::string(fraction);
  return "; " + (text.size() > kFieldText ? text.substr(0, kFieldText) : PadLeft(std::move(text), kFieldText));
}

std::string EspPhaseField(int channel, std::string_view v, TVQ_ChannelTrack& t, const TVQ_FieldOptions& opt) {
  const int e = EspExpo(v);
  const int digits = kEspDigits[static_cast<std::size_t>(e)];
  const double d = EspPhaseDouble(v);
  const std::string prefix = ".ReadESPPhase[" + std::to_string(channel) + "]";
  if (channel == 1 && LogWanted(opt.LogId))
    Info(opt, prefix + " Expo=" + std::to_string(e) + " Bytes=" + HexDump(v) + " Double=" + FloatToStrGeneral(d));

  // Whole cycles plus High must fit into 64 bits; anything else (NaN,
  // infinities, absurd magnitudes) leaves the channel's history alone.
  if (!(std::fabs(d) < kTwo62)) {
    if (LogWanted(opt.LogId)) Error(opt, prefix + " invalid Phase");
    return EspPhaseText(0, std::string(static_cast<std::size_t>(digits), '0'), opt.Format.DecimalSeparator);
  }
  if (d < 0 && LogWanted(opt.LogId)) Error(opt, prefix + " Double < 0 =" + FloatToStrGeneral(d));

  if (t.PhaseDoubleOld > d) {
    const uint64_t amount = e < 15 ? uint64_t{1} << (18 + e) : 0;
    t.High = AddToHigh(t.High, amount);
    if (channel == 1 && LogWanted(opt.LogId))
      Info(opt, prefix + " Overflow" + " old=" + FloatToStrGeneral(t.PhaseDoubleOld) + " new=" +
                    FloatToStrGeneral(d) + " Mask=" + HexText(amount, 1));
  }
  t.PhaseDoubleOld = d;

  // The fraction is written without its sign; a carry goes away from zero.
  const TRounded r = RoundMagnitude(std::fabs(d), digits);
  const int64_t cycles = d < 0 ? -static_cast<int64_t>(r.Whole) : static_cast<int64_t>(r.Whole);
  return EspPhaseText(WrappingSum(cycles, t.High), r.Fraction(), opt.Format.DecimalSeparator);
}

std::string EspNumberField(double value, int digits, const TFormatSettings& fmt) {
  return ";" + CutPadLeft(FloatToStrFixed(value, digits, fmt), kFieldText, kFieldWidth);
}

std::string EspRawField(std::string_view v) {
  const auto pair = [&](std::size_t hi) {
    return HexText(static_cast<uint8_t>(v[hi]), 2) + HexText(static_cast<uint8_t>(v[hi - 1]), 2);
  };
  return "; " + pair(5) + "," + pair(3) + "," + pair(1);
}

// Number of whole values of `size` bytes, at most one per channel.
std::size_t ChannelValues(std::string_view values, std::size_t size) {
  return std::min(values.size() / size, static_cast<std::size_t>(VQ_ChannelCount));
}

// ---- simulated counter and 7900/7901 -----------------------------------------

double ReadLittleEndianDouble(std::string_view v) { return std::bit_cast<double>(ReadLittleEndian64(v)); }

// Whole part, separator and fraction digits; "-0" for small negatives. Values
// without a 64-bit whole part (NaN, infinities, huge) in plain fixed notation.
void AppendDemoField(std::string& out, double value, int digits, std::size_t width, const TFormatSettings& fmt) {
  out += ';';
  if (!(std::fabs(value) < kTwo63)) {
    AppendCutPadLeft(out, FloatToStrFixed(value, digits, fmt), width, width);
    return;
  }
  const TRounded r = RoundDouble(std::fabs(value), digits);
  std::array<char, 64> text;
  char* end = text.data();
  if (value < 0) *end++ = '-';
  end = WriteWhole(end, r.Whole);
  *end++ = fmt.DecimalSeparator;
  end = std::copy_n(r.Digits.data(), r.Count, end);
  AppendCutPadLeft(out, std::string_view(text.data(), static_cast<std::size_t>(end - text.data())), width, width);
}

// "%<width>.<digits>f;" with the source's separator.
std::string PrintfField(double value, int digits, std::size_t width, const TFormatSettings& fmt) {
  return PadLeft(FloatToStrFixed(value, digits, fmt), width) + ";";
}

constexpr double kQmtMax = 999999999.999;

double QmtValue(int a, int b, int c) { return std::min(((a - b) / 2000.0 + c) * 100.0, kQmtMax); }

}  // namespace

std::optional<int> AveragePosition(uint16_t header) {
  const int p = IntervalPosition(header);
  if (p >= static_cast<int>(kAverageDivisor.size())) return std::nullopt;
  return p;
}

std::optional<std::string> BinMeasurementFields(uint16_t header, std::string_view values,
                                                TVQ_ChannelTracks& tracks, const TVQ_FieldOptions& opt) {
  const int mode = ModeOf(header);
  if (mode > kRawData || (mode == kRawData && !opt.OptRawData)) return std::nullopt;
  const std::size_t count = ChannelValues(values, VQ_BinValueBytes);

  // An interval position outside the tables scales like the plain modes.
  int avgExponent = 0;
  double divisor = 1.0;
  if (const auto p = AveragePosition(header)) {
    avgExponent = kAverageExponent[static_cast<std::size_t>(*p)];
    divisor = kAverageDivisor[static_cast<std::size_t>(*p)];
  } else if (mode != kPhase && mode != kPhaseDiff && mode != kRawData && LogWanted(opt.LogId)) {
    Info(opt, opt.Caller + ": header " + HexText(header, 4) + " interval position " +
                  std::to_string(IntervalPosition(header)) +
                  " has no average scaling");
  }

  const char sep = opt.Format.DecimalSeparator;
  std::string fields;
  fields.reserve(kLineCodeRoom + count * (kFieldWidth + 1));
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view raw = values.substr(i * VQ_BinValueBytes, VQ_BinValueBytes);
    if (mode == kRawData) {
      fields += BinRawField(raw);
      continue;
    }
    const TBinValue v = ReadBinValue(raw);
    const int digits = kDigitsByExponent[static_cast<std::size_t>(v.R)];
    const double q = static_cast<double>(v.Q);  // 52 bits: exact
    switch (mode) {
      case kPhase:
      case kPhaseAvg: {
        const double s = mode == kPhase ? std::ldexp(q, v.R - 35) : std::ldexp(q, v.R + avgExponent - 35) / divisor;
        ContinuePhase(tracks[i], s, v.R, v.TopNibble);
        const TRounded r = mode == kPhase ? RoundDyadic(v.Q, 35 - v.R, digits) : RoundMagnitude(s, digits);
        AppendBinPhaseField(fields, tracks[i].High, r, sep);
        break;
      }
      case kFrequency:
      case kFrequencyAvg: {
        const double s = mode == kFrequency ? std::ldexp(q, v.R - 35) / divisor
                                            : std::ldexp(q, v.R + avgExponent - 35) / divisor / divisor;
        AppendSplitField(fields, false, RoundMagnitude(s, digits + 5), sep);
        break;
      }
      default: {  // phase differences: signed 52-bit mantissa
        const bool negative = (v.TopNibble & 8) != 0;
        const uint64_t magnitude = negative ? (uint64_t{1} << 52) - v.Q : v.Q;
        const bool scaled = mode == kPhaseAvgDiff && !(i == 0 && count > 1);
        const TRounded r =
            scaled ? RoundMagnitude(std::ldexp(static_cast<double>(magnitude), v.R + avgExponent - 35) / divisor, digits)
                   : RoundDyadic(magnitude, 35 - v.R, digits);
        AppendSplitField(fields, negative, r, sep);
        break;
      }
    }
  }
  return fields;
}

std::optional<std::string> EspMeasurementFields(uint16_t header, std::string_view values,
                                                TVQ_ChannelTracks& tracks, const TVQ_FieldOptions& opt) {
  const int mode = ModeOf(header);
  if (mode > kRawData || (mode == kRawData && !opt.OptRawData)) return std::nullopt;
  const std::size_t count = ChannelValues(values, VQ_EspValueBytes);
  std::string fields;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view raw = values.substr(i * VQ_EspValueBytes, VQ_EspValueBytes);
    const int digits = kEspDigits[static_cast<std::size_t>(EspExpo(raw))];
    switch (mode) {
      case kPhase:
      case kPhaseAvg:
        fields += EspPhaseField(static_cast<int>(i) + 1, raw, tracks[i], opt);
        break;
      case kFrequency:
      case kFrequencyAvg:
        fields += EspNumberField(ReadLittleEndianDouble(raw) / 1000.0, digits, opt.Format);
        break;
      case kPhaseDiff:
      case kPhaseAvgDiff:
        fields += EspNumberField(ReadLittleEndianDouble(raw), digits, opt.Format);
        break;
      default:
        fields += EspRawField(raw);
        break;
    }
  }
  return fields;
}

std::string DemoFields(uint16_t code, std::string_view values, const TVQ_FieldOptions& opt) {
  const bool qmt = code == VQ_Code::QmtValues;
  const int digits = qmt ? 2 : (code >= 0x2000 && code <= 0x3FFF) ? 15 : 11;
  const std::size_t width = qmt ? 13 : kFieldWidth;
  std::string fields;
  fields.reserve(kLineCodeRoom + (values.size() / VQ_DemoValueBytes + 1) * (width + 1));
  for (std::size_t i = 0; i + VQ_DemoValueBytes <= values.size(); i += VQ_DemoValueBytes)
    AppendDemoField(fields, ReadLittleEndianDouble(values.substr(i, VQ_DemoValueBytes)), digits, width, opt.Format);
  if (qmt) fields += ";";
  return fields;
}

TVQ_QmtDecode QmtLine(std::string_view payload, bool esp, bool qmtReceived, const TVQ_FieldOptions& opt) {
  const auto byte = [&](std::size_t i) { return static_cast<int>(static_cast<uint8_t>(payload[i])); };
  const std::string code = ReportCodeText(VQ_Code::QmtValues);
  TVQ_QmtDecode result;

  const std::size_t oldSize = esp ? 8 : 6;
  if (payload.size() <= oldSize) {  // old format: one value
    if (payload.size() != oldSize) {
      if (LogWanted(opt.LogId))
        Info(opt, opt.Caller + ": ignore 7900 of " + std::to_string(payload.size()) + " bytes: " + HexDump(payload));
      return result;
    }
    const int a = (byte(1) & 0x0F) * 256 + byte(0);
    const int b = byte(2) * 16 + (byte(1) >> 4);
    const int c = byte(5) * 65536 + byte(4) * 256 + byte(3);
    result.Line = code + "; " + PrintfField(QmtValue(a, b, c), 2, 13, opt.Format);
    return result;
  }

  const auto syncError = [&](const std::string& logText) {
    result.SyncError = true;
    if (qmtReceived) {
      result.Line = ReportCodeText(VQ_Code::QmtSyncError) + ": " + std::string(VQ_Text::QmtSyncError);
    } else if (LogWanted(opt.LogId)) {
      Info(opt, opt.Caller + ":" + logText + HexDump(payload));
    }
  };

  const std::size_t group = esp ? 8 : 7;
  if (payload.size() % group != 0) {
    syncError(" ignore first 7900 SyncError (Length): ");
    return result;
  }
  std::string values;
  for (std::size_t g = 0; g < payload.size(); g += group) {
    const auto b = [&](std::size_t i) { return byte(g + i); };
    const bool last = g + group == payload.size();
    const bool valid = (b(0) & 0x80) != 0 && ((b(1) & 0x80) != 0) != last && (b(2) & 0x80) == 0 && (b(3) & 0x80) == 0;
    if (!valid) {
      syncError(" ignore first 7900 SyncError ");
      if (qmtReceived) return result;
      break;
    }
    const int a1 = (b(1) & 0x7F) * 128 + (b(0) & 0x7F);
    const int b1 = (b(3) & 0x7F) * 128 + (b(2) & 0x7F);
    const int c1 = b(6) * 65536 + b(5) * 256 + b(4);
    const double value = a1 == 0 || b1 == 0 ? -9.99 : QmtValue(a1, b1, c1);
    values.insert(0, PrintfField(value, 2, 13, opt.Format));
  }
  if (!values.empty()) result.Line = code + ";" + values;
  return result;
}

std::string CalibrationLine(std::string_view payload, int calibFactor, const TVQ_FieldOptions& opt) {
  if (calibFactor <= 0) {
    if (LogWanted(opt.LogId))
      Info(opt, opt.Caller + " 7901: calibration factor " + std::to_string(calibFactor) + " invalid, 1 used");
    calibFactor = 1;
  }
  const bool allFF = std::all_of(payload.begin(), payload.end(), [](char c) { return static_cast<uint8_t>(c) == 0xFF; });
  std::string line = ReportCodeText(VQ_Code::PvhCalibration) + ";";
  const std::size_t count = payload.size() / 4;
  for (std::size_t i = 0; i < count; ++i) {
    const double value =
        allFF ? 0.0 : static_cast<int32_t>(ReadBigEndian32(payload, i * 4)) / static_cast<double>(calibFactor);
    const int channel = static_cast<int>(i) + 1;
    if (channel <= VQ_ChannelCount) {
      line += PrintfField(value, 3, 14, opt.Format);
    } else if (LogWanted(opt.LogId)) {
      Info(opt, opt.Caller + " 7901: ignore channel " + std::to_string(channel) + " =" +
                    FloatToStrFixed(value, 3, opt.Format));
    }
  }
  return line;
}
