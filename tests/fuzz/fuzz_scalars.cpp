// The scalar text parsers on arbitrary text. The first byte picks the parser, the rest is the
// text. Besides "no crash, only the runtime's exceptions", a few round trips must hold.
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "soap/TypeTrans.h"
#include "soap/XSBuiltIns.h"

namespace {

[[noreturn]] void Broken() { __builtin_trap(); }

template <class T>
void ToValue(const WideString& text) {
  T value{};
  TypeTranslator()->TextToValue(TypeInfo<T>(), text, false, &value);
  // What the translator read, it must write so that it reads back the same (booleans are
  // written by the converters, not by the translator).
  if constexpr (!std::is_same_v<T, bool>) {
    T again{};
    TypeTranslator()->TextToValue(TypeInfo<T>(), TypeTranslator()->ValueToText(TypeInfo<T>(), &value), false, &again);
    if constexpr (std::is_integral_v<T>) {
      if (again != value) Broken();
    }
  }
}

void Run(uint8_t selector, const std::string& text) {
  const WideString wide = Utf8ToUtf16(text);
  switch (selector % 20) {
    case 0: {
      int32_t v = ParseXmlInt32(text);
      if (ParseXmlInt32(std::to_string(v)) != v) Broken();
      break;
    }
    case 1: {
      int64_t v = ParseXmlInt64(text);
      if (ParseXmlInt64(std::to_string(v)) != v) Broken();
      break;
    }
    case 2: {
      long double v = ParseXmlFloat(text);
      ParseXmlFloat(FormatXmlFloat(v));
      break;
    }
    case 3: ParseXmlDecimal(text); break;
    case 4: {
      TDateTime t = ParseXmlDateTime(wide, true);
      ParseXmlDateTime(FormatXmlDateTime(t, false), true);
      break;
    }
    case 5: {
      TXSBaseDate d;
      d.Read(text);
      d.Text();
      break;
    }
    case 6: {
      TXSBaseTime t;
      t.Read(text);
      t.Text();
      break;
    }
    case 7: {
      TXSBaseDuration d;
      d.ReadDuration(text);
      d.DurationText();
      break;
    }
    case 8: {
      std::string bytes = Base64Decode(text);
      if (Base64Decode(Base64Encode(bytes)) != bytes) Broken();
      break;
    }
    case 9: {
      TXSDateTime d;
      d.FromXmlText(wide);
      d.ToXmlText();
      break;
    }
    case 10: {
      TXSDuration d;
      d.FromXmlText(wide);
      d.ToXmlText();
      break;
    }
    case 11: {
      TXSDate d;
      d.FromXmlText(wide);
      d.ToXmlText();
      break;
    }
    case 12: {
      TXSHexBinary h;
      h.FromXmlText(wide);
      break;
    }
    case 13: ToValue<int8_t>(wide); break;
    case 14: ToValue<uint32_t>(wide); break;
    case 15: ToValue<int64_t>(wide); break;
    case 16: ToValue<uint64_t>(wide); break;
    case 17: ToValue<double>(wide); break;
    case 18: ToValue<bool>(wide); break;
    case 19: {
      TypeTranslator()->TextToVariant(TypeInfo<double>(), wide, TVariantTextForm::Trimming);
      TypeTranslator()->TextToVariant(TypeInfo<int64_t>(), wide);
      TypeTranslator()->TextToVariant(TypeInfo<TDateTime>(), wide);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    Run(data[0], text);
  } catch (const Exception&) {
  }
  return 0;
}
