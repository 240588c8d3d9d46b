#include "server/scpi_session.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "client/units.h"
#include "server/api.h"
#include "server/board.h"
#include "vrx5200_analysis.h"

namespace server::scpi {

using nlohmann::json;

namespace {

// The maker's field of *IDN?: the software that answers, as its users know it.
constexpr const char* kMaker = "vrx5200";
// The SCPI standard this instrument follows.
constexpr const char* kScpiVersion = "1999.0";
// The longest error/event text SCPI allows, the number's sentence and our words together.
constexpr size_t kMaxErrorText = 255;

[[noreturn]] void refuse(int code, std::string info = "") {
  throw Error{code, std::move(info)};
}

void expect_params(const Unit& u, size_t least, size_t most) {
  if (u.params.size() < least) refuse(-109);
  if (u.params.size() > most) refuse(-108);
}

// Whether a character parameter is the word `mnemonic` names, in its short or long form ("NORMal":
// NORM, NORMAL).
bool is_word(const Param& p, std::string_view mnemonic) {
  if (p.type != ParamType::kCharacter) return false;
  std::string short_form, long_form;
  for (char c : mnemonic) {
    const char up = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (c == up) short_form += c;
    long_form += up;
  }
  std::string given = p.text;
  for (char& c : given) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return given == short_form || given == long_form;
}

// A number from lo to hi; MINimum, MAXimum and DEFault name lo, hi and `fallback`.
double real(const Param& p, double lo, double hi, double fallback) {
  if (p.type == ParamType::kCharacter) {
    if (is_word(p, "MINimum")) return lo;
    if (is_word(p, "MAXimum")) return hi;
    if (is_word(p, "DEFault")) return fallback;
    refuse(-224, "a number, MIN, MAX or DEF");
  }
  if (p.type != ParamType::kNumber) refuse(-104, "a number");
  if (!(p.number >= lo && p.number <= hi)) {
    refuse(-222, "from " + format_real(lo) + " to " + format_real(hi));
  }
  return p.number;
}

// A whole number from lo to hi: a fraction is rounded, as SCPI has it.
int64_t whole(const Param& p, int64_t lo, int64_t hi, int64_t fallback) {
  const double x = std::round(real(p, -9e15, 9e15, static_cast<double>(fallback)));
  if (p.type == ParamType::kCharacter) {
    if (is_word(p, "MINimum")) return lo;
    if (is_word(p, "MAXimum")) return hi;
  }
  if (x < static_cast<double>(lo) || x > static_cast<double>(hi)) {
    refuse(-222, "from " + std::to_string(lo) + " to " + std::to_string(hi));
  }
  return static_cast<int64_t>(x);
}

bool boolean(const Param& p) {
  if (is_word(p, "ON")) return true;
  if (is_word(p, "OFF")) return false;
  if (p.type == ParamType::kNumber) return std::round(p.number) != 0;
  refuse(p.type == ParamType::kCharacter ? -224 : -104, "ON, OFF, 1 or 0");
}

// Adds `item` to a comma-separated list (appended: GCC 12 at -O3 takes `"," + std::string` for
// an overlapping copy and warns).
void add_item(std::string& list, const std::string& item) {
  if (!list.empty()) list += ',';
  list += item;
}

std::string nr1(int64_t x) {
  return std::to_string(x);
}

// The analysis windows as SCPI words, and as the HTTP API names them.
struct WindowWord {
  const char* word;
  const char* name;
};
constexpr WindowWord kWindows[] = {{"RECTangular", "rectangular"},
                                   {"HANNing", "hann"},
                                   {"BHARris4", "blackmanharris"},
                                   {"BHARris7", "blackmanharris7"}};

// The figures of MEASure and FETCh, and their keys in the tone report.
struct Figure {
  const char* word;
  const char* key;
};
constexpr Figure kFigures[] = {{"SNR", "snr_db"},
                               {"SINAD", "sinad_db"},
                               {"SFDR", "sfdr_dbc"},
                               {"THD", "thd_dbc"},
                               {"ENOB", "enob"}};

json default_settings() {
  return {{"samples", 65536},     {"rate", 250e6},          {"rate_factor", 2},
          {"step_select", 0},     {"half_rate_mode", 0},    {"register_1", 0},
          {"register_6", 0},      {"register_7", 0},        {"lanes", json::array({1})},
          {"ops", json::array()}, {"offset_binary", false}, {"timeout_ms", 10000}};
}

// A failure as an error of the queue: the library's refusals with its sentence.
Error error_of(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const Error& error) {
    return error;
  } catch (const ApiError& error) {
    if (error.code) {
      const int32_t code = *error.code;
      const bool missing = code == VRX5200_RESULT_NO_DEVICES || code == VRX5200_RESULT_NO_BOARD;
      return {missing ? -241 : -240, error.message + ": " + VRX5200_Result_Text(code) +
                                         " (result " + std::to_string(code) + ")"};
    }
    if (error.status == 400) return {-224, error.message};
    return {-200, error.message};
  } catch (const std::exception& error) {
    return {-200, std::string("internal error: ") + error.what()};
  } catch (...) {
    return {-200, "internal error"};
  }
}

}  // namespace

struct Session::Call {
  const Unit& unit;
  std::vector<int> suffixes;
};

struct Session::Command {
  Pattern pattern;
  bool open;  // needs no token
  std::function<void(Session&, const Call&)> run;
};

// The command table, built once.
struct Commands {
  static const std::vector<Session::Command>& table();
};

const std::vector<Session::Command>& Commands::table() {
  using S = Session;
  using C = S::Call;
  static const std::vector<S::Command> commands = [] {
    std::vector<S::Command> t;
    auto add = [&t](const char* pattern, bool open, std::function<void(S&, const C&)> run) {
      t.push_back({Pattern(pattern), open, std::move(run)});
    };
    // A register of one number from lo to hi: its command and its query.
    auto add_register = [&](const char* pattern, int S::*field, int lo, int hi) {
      add(pattern, false, [field, lo, hi](S& s, const C& c) {
        expect_params(c.unit, 1, 1);
        s.*field = static_cast<int>(whole(c.unit.params[0], lo, hi, 0));
      });
      add((std::string(pattern) + "?").c_str(), false, [field](S& s, const C& c) {
        expect_params(c.unit, 0, 0);
        s.answer(nr1(s.*field));
      });
    };
    // A capture setting: its query answers the field as the HTTP API holds it.
    auto add_setting = [&](const char* pattern, const char* field,
                           std::function<json(const C&)> value) {
      add(pattern, false, [field, value](S& s, const C& c) {
        json candidate = s.settings_;
        candidate[field] = value(c);
        try {
          CaptureRequest::from_json(candidate);
        } catch (const ApiError& e) {
          refuse(-224, e.message);
        }
        s.settings_ = std::move(candidate);
      });
      add((std::string(pattern) + "?").c_str(), false, [field](S& s, const C& c) {
        expect_params(c.unit, 0, 0);
        const json& v = s.settings_[field];
        if (v.is_boolean()) {
          s.answer(v.get<bool>() ? "1" : "0");
        } else if (v.is_number_integer()) {
          s.answer(nr1(v.get<int64_t>()));
        } else if (v.is_number()) {
          s.answer(format_real(v.get<double>()));
        } else {
          // Lanes, or the operations' pairs in a row.
          std::string list;
          for (const json& x : v) {
            for (const json& y : x.is_array() ? x : json::array({x})) {
              add_item(list, nr1(y.get<int64_t>()));
            }
          }
          s.answer(list.empty() ? "NONE" : list);
        }
      });
    };
    auto one_whole = [](int64_t lo, int64_t hi, int64_t fallback) {
      return [=](const C& c) -> json {
        expect_params(c.unit, 1, 1);
        return whole(c.unit.params[0], lo, hi, fallback);
      };
    };
    auto one_bool = [](const C& c) -> json {
      expect_params(c.unit, 1, 1);
      return boolean(c.unit.params[0]);
    };

    // ---- IEEE 488.2 common commands ----
    add("*IDN?", true, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      std::string key = "0";
      try {
        key = s.host()->key();
      } catch (const ApiError&) {  // no board: the serial field says 0
      }
      s.answer(std::string(kMaker) + ",VRX5200," + key + "," + s.api_.options.version);
    });
    add("*RST", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.settings_ = default_settings();
      s.window_ = VRX5200_WINDOW_BLACKMAN_HARRIS_4;
      s.harmonics_ = 5;
      s.swapped_ = true;
      s.last_.reset();
    });
    add("*CLS", true, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.errors_.clear();
      s.esr_ = 0;
    });
    add_register("*ESE", &S::ese_, 0, 255);
    add("*ESR?", true, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.answer(nr1(s.esr_));
      s.esr_ = 0;
    });
    // Commands of a connection run one after another, each to its end: all are complete when
    // *OPC or *OPC? runs, and *WAI has nothing to wait for.
    add("*OPC", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.esr_ |= 0x01;
    });
    add("*OPC?", true, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.answer("1");
    });
    add("*WAI", false, [](S&, const C& c) { expect_params(c.unit, 0, 0); });
    add("*SRE", false, [](S& s, const C& c) {
      expect_params(c.unit, 1, 1);
      s.sre_ = static_cast<int>(whole(c.unit.params[0], 0, 255, 0)) & ~0x40;
    });
    add("*SRE?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.answer(nr1(s.sre_));
    });
    add("*STB?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.answer(nr1(s.status_byte()));
    });
    // The self-test: the board opens and tells its family and firmware.
    add("*TST?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.answer_on_failure_ = "1";
      s.start_job("open", json::object(), false, [&s](json&, std::string&) { s.answer("0"); });
    });

    // ---- SYSTem ----
    add("SYSTem:ERRor[:NEXT]?", true, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      if (s.errors_.empty()) {
        s.answer("0," + scpi::quoted(error_text(0)));
        return;
      }
      s.answer(nr1(s.errors_.front().first) + "," + scpi::quoted(s.errors_.front().second));
      s.errors_.pop_front();
    });
    add("SYSTem:ERRor:COUNt?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.answer(nr1(static_cast<int64_t>(s.errors_.size())));
    });
    add("SYSTem:ERRor:ALL?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      std::string all;
      for (const auto& [code, text] : s.errors_) {
        add_item(all, nr1(code));
        add_item(all, scpi::quoted(text));
      }
      s.errors_.clear();
      s.answer(all.empty() ? "0," + scpi::quoted(error_text(0)) : all);
    });
    add("SYSTem:VERSion?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.answer(kScpiVersion);
    });
    add("SYSTem:TOKen", true, [](S& s, const C& c) {
      expect_params(c.unit, 1, 1);
      const Param& p = c.unit.params[0];
      if (p.type != ParamType::kString) refuse(-104, "the token in quotes");
      if (auto denial = s.api_.access.check_token(s.peer_, p.text)) {
        s.authenticated_ = false;
        refuse(-203, denial->why);
      }
      s.authenticated_ = true;
    });
    add("SYSTem:BOARd", false, [](S& s, const C& c) {
      expect_params(c.unit, 1, 1);
      const Param& p = c.unit.params[0];
      if (p.type != ParamType::kString) refuse(-104, "the board's serial key in quotes");
      std::string key;
      try {
        key = s.api_.boards.host(p.text)->key();
      } catch (const ApiError& e) {
        refuse(-224, e.message);
      }
      if (key != s.board_) s.last_.reset();
      s.board_ = p.text.empty() ? "" : key;
    });
    add("SYSTem:BOARd?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.answer(scpi::quoted(s.host()->key()));
    });
    add("SYSTem:BOARd:CATalog?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      std::string list;
      for (const json& b : s.api_.boards.list()) {
        add_item(list, scpi::quoted(b.value("key", "")));
      }
      s.answer(list.empty() ? "\"\"" : list);
    });

    // ---- STATus: nothing of ours sets their bits; the registers are there for the programs
    // that read them ----
    for (const char* node : {"STATus:OPERation", "STATus:QUEStionable"}) {
      const std::string n = node;
      auto zero = [](S& s, const C& c) {
        expect_params(c.unit, 0, 0);
        s.answer("0");
      };
      add((n + "[:EVENt]?").c_str(), false, zero);
      add((n + ":CONDition?").c_str(), false, zero);
      add_register((n + ":ENABle").c_str(),
                   n == "STATus:OPERation" ? &S::operation_enable_ : &S::questionable_enable_, 0,
                   32767);
    }
    add("STATus:PRESet", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.operation_enable_ = s.questionable_enable_ = 0;
    });

    // ---- capture settings: the fields of the HTTP API's capture request ----
    add_setting("[SENSe:]CAPTure:POINts", "samples", [](const C& c) -> json {
      expect_params(c.unit, 1, 1);
      const int64_t n = whole(c.unit.params[0], 32, int64_t{1} << 24, 65536);
      if (n % 32 != 0) refuse(-224, "a multiple of 32");
      return n;
    });
    add_setting("[SENSe:]CAPTure:RATE", "rate", [](const C& c) -> json {
      expect_params(c.unit, 1, 1);
      return real(c.unit.params[0], 1, 1e12, 250e6);
    });
    add_setting("[SENSe:]CAPTure:RATE:FACTor", "rate_factor", one_whole(1, 1 << 20, 2));
    add_setting("[SENSe:]CAPTure:STEP", "step_select", one_whole(0, 1, 0));
    add_setting("[SENSe:]CAPTure:HALFrate", "half_rate_mode", [](const C& c) -> json {
      expect_params(c.unit, 1, 1);
      return boolean(c.unit.params[0]) ? 1 : 0;
    });
    // REGister1, REGister6, REGister7: the register values the capture starts with.
    for (const char* suffix : {"", "?"}) {
      add((std::string("[SENSe:]CAPTure:REGister#") + suffix).c_str(), false,
          [query = *suffix == '?'](S& s, const C& c) {
            const int n = c.suffixes.at(0);
            if (n != 1 && n != 6 && n != 7) refuse(-114, "REGister1, REGister6 or REGister7");
            const std::string field = "register_" + std::to_string(n);
            if (query) {
              expect_params(c.unit, 0, 0);
              s.answer(nr1(s.settings_[field].get<int64_t>()));
              return;
            }
            expect_params(c.unit, 1, 1);
            s.settings_[field] = whole(c.unit.params[0], 0, 255, 0);
          });
    }
    add_setting("[SENSe:]CAPTure:LANes", "lanes", [](const C& c) -> json {
      expect_params(c.unit, 1, 64);
      json lanes = json::array();
      for (const Param& p : c.unit.params) lanes.push_back(whole(p, -1000000, 1000000, 1));
      return lanes;
    });
    // Bit operations as code,operand pairs; NONE for none.
    add_setting("[SENSe:]CAPTure:OPERations", "ops", [](const C& c) -> json {
      expect_params(c.unit, 1, 64);
      json ops = json::array();
      if (c.unit.params.size() == 1 && is_word(c.unit.params[0], "NONE")) return ops;
      if (c.unit.params.size() % 2 != 0) refuse(-109, "code,operand pairs");
      for (size_t i = 0; i < c.unit.params.size(); i += 2) {
        ops.push_back(
            {whole(c.unit.params[i], 0, 4, 0), whole(c.unit.params[i + 1], -15, 0xFFFF, 0)});
      }
      return ops;
    });
    add_setting("[SENSe:]CAPTure:OBINary", "offset_binary", one_bool);
    add_setting("[SENSe:]CAPTure:TIMeout", "timeout_ms", one_whole(1, 600000, 10000));
    add("[SENSe:]CAPTure:SRATe?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.answer(format_real(CaptureRequest::from_json(s.settings_).sample_rate()));
    });

    // ---- the analysis ----
    add("CALCulate:WINDow", false, [](S& s, const C& c) {
      expect_params(c.unit, 1, 1);
      const Param& p = c.unit.params[0];
      for (const WindowWord& w : kWindows) {
        if (is_word(p, w.word) || (p.type == ParamType::kString && p.text == w.name)) {
          s.window_ = *client::window_named(w.name);
          return;
        }
      }
      refuse(-224, "RECTangular, HANNing, BHARris4 or BHARris7");
    });
    add("CALCulate:WINDow?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      for (const WindowWord& w : kWindows) {
        if (client::window_named(w.name) == s.window_) {
          std::string short_form;
          for (const char* ch = w.word; *ch; ++ch) {
            if (!(*ch >= 'a' && *ch <= 'z')) short_form += *ch;
          }
          s.answer(short_form);
        }
      }
    });
    add_register("CALCulate:HARMonics", &S::harmonics_, 2, VRX5200_MAX_HARMONICS);

    // ---- the data's form ----
    add("FORMat:BORDer", false, [](S& s, const C& c) {
      expect_params(c.unit, 1, 1);
      if (is_word(c.unit.params[0], "NORMal")) {
        s.swapped_ = false;
      } else if (is_word(c.unit.params[0], "SWAPped")) {
        s.swapped_ = true;
      } else {
        refuse(-224, "NORMal or SWAPped");
      }
    });
    add("FORMat:BORDer?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.answer(s.swapped_ ? "SWAP" : "NORM");
    });
    add("FORMat[:DATA]?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.answer("INT,16");
    });

    // ---- capture, fetch, measure ----
    add("INITiate[:IMMediate]", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.capture(nullptr);
    });
    add("FETCh[:DATA]?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.fetch_block();
    });
    add("READ[:DATA]?", false, [](S& s, const C& c) {
      expect_params(c.unit, 0, 0);
      s.capture([&s] { s.fetch_block(); });
    });
    for (const Figure& f : kFigures) {
      const std::string key = f.key;
      add((std::string("MEASure:") + f.word + "?").c_str(), false, [key](S& s, const C& c) {
        expect_params(c.unit, 0, 0);
        s.answer_on_failure_ = format_real(NAN);
        s.capture([&s, key] { s.measure(key); });
      });
      add((std::string("FETCh:") + f.word + "?").c_str(), false, [key](S& s, const C& c) {
        expect_params(c.unit, 0, 0);
        s.answer_on_failure_ = format_real(NAN);
        s.measure(key);
      });
    }

    // ---- registers ----
    add("REGister[:VALue]", false, [](S& s, const C& c) {
      expect_params(c.unit, 2, 2);
      const int64_t address = whole(c.unit.params[0], 0, 15, 0);
      const int64_t value = whole(c.unit.params[1], 0, 255, 0);
      s.start_job("write_register", {{"address", address}, {"value", value}}, false,
                  [](json&, std::string&) {});
    });
    add("REGister[:VALue]?", false, [](S& s, const C& c) {
      expect_params(c.unit, 1, 1);
      const int64_t address = whole(c.unit.params[0], 0, 15, 0);
      s.start_job("read_register", {{"address", address}}, false,
                  [&s](json& out, std::string&) { s.answer(nr1(out.value("value", 0))); });
    });
    return t;
  }();
  return commands;
}

// ---- the session ----

Session::Session(Api& api, std::string peer, Post post)
    : api_(api),
      peer_(std::move(peer)),
      post_(std::move(post)),
      gone_(std::make_shared<std::atomic<bool>>(false)),
      settings_(default_settings()),
      window_(VRX5200_WINDOW_BLACKMAN_HARRIS_4) {}

Session::~Session() {
  *gone_ = true;
  if (pending_) {
    if (auto host = job_host_.lock()) host->queue().cancel(job_id_);
  }
}

void Session::run(std::string_view line) {
  units_ = parse_message(line);
  next_ = 0;
  answers_.clear();
  resume();
}

void Session::resume() {
  while (!pending_ && next_ < units_.size()) {
    const Unit& u = units_[next_++];
    if (u.error.code != 0) {
      push_error(u.error.code, u.error.info);
      break;
    }
    if (!dispatch(u)) break;
  }
  if (pending_) return;
  units_.clear();
  next_ = 0;
  // The answers of a message's queries go out together, in one line.
  if (answers_.empty()) return;
  // Text goes out in one piece; a block's samples as they lie.
  auto add = [this](Chunk c) {
    if (!c.keep && !output_.empty() && !output_.back().keep) {
      output_.back().text += c.text;
    } else {
      output_.push_back(std::move(c));
    }
  };
  for (size_t i = 0; i < answers_.size(); ++i) {
    if (i > 0) add(Chunk(";"));
    for (Chunk& c : answers_[i]) add(std::move(c));
  }
  add(Chunk("\n"));
  answers_.clear();
}

bool Session::dispatch(const Unit& u) {
  const Command* found = nullptr;
  Call call{u, {}};
  for (const Command& c : Commands::table()) {
    if (c.pattern.match(u, call.suffixes)) {
      found = &c;
      break;
    }
  }
  // A command error ends the message; an execution error ends its unit only.
  if (found == nullptr) {
    push_error(-113);
    return false;
  }
  if (!found->open && !authenticated_) {
    push_error(-203, "send SYSTem:TOKen \"TOKEN\" first");
    return true;
  }
  answer_on_failure_.clear();
  try {
    found->run(*this, call);
  } catch (...) {
    const Error e = error_of(std::current_exception());
    push_error(e.code, e.info);
    if (!answer_on_failure_.empty()) answer(answer_on_failure_);
    return e.code > -100 || e.code <= -200;
  }
  return true;
}

void Session::push_error(int code, std::string info) {
  if (code <= -100 && code > -200)
    esr_ |= 0x20;  // command error
  else if (code <= -200 && code > -300)
    esr_ |= 0x10;  // execution error
  else if (code <= -300 && code > -400)
    esr_ |= 0x08;  // device-dependent error
  else if (code <= -400 && code > -500)
    esr_ |= 0x04;  // query error
  if (errors_.size() >= kMaxErrors) {
    errors_.back() = {-350, error_text(-350)};
    esr_ |= 0x08;
    return;
  }
  std::string text = error_text(code);
  if (!info.empty()) text += ";" + info;
  // Whole characters only: cut before a UTF-8 continuation byte.
  if (text.size() > kMaxErrorText) {
    size_t cut = kMaxErrorText;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  errors_.emplace_back(code, std::move(text));
}

void Session::answer(std::string text) {
  answers_.push_back({});
  answers_.back().emplace_back(std::move(text));
}

void Session::answer_block(std::vector<Chunk> chunks) {
  answers_.push_back(std::move(chunks));
}

void Session::complete(const std::function<void()>& f) {
  pending_ = false;
  job_host_.reset();
  try {
    f();
  } catch (...) {
    const Error e = error_of(std::current_exception());
    push_error(e.code, e.info);
    if (!answer_on_failure_.empty()) answer(answer_on_failure_);
  }
  if (!pending_) answer_on_failure_.clear();
  resume();
}

int Session::status_byte() const {
  int stb = 0;
  if (!errors_.empty()) stb |= 0x04;    // error/event queue not empty
  if ((esr_ & ese_) != 0) stb |= 0x20;  // standard event summary
  if ((stb & sre_) != 0) stb |= 0x40;   // master summary
  return stb;
}

std::shared_ptr<BoardHost> Session::host() {
  return api_.boards.host(board_);
}

void Session::start_job(const std::string& kind, json op, bool cancellable,
                        std::function<void(json& result, std::string& data)> then) {
  auto h = host();
  op["op"] = kind;
  auto result = std::make_shared<json>();
  auto data = std::make_shared<std::string>();
  Post post = post_;
  job_id_ = h->queue().submit(
      kind,
      [h, op = std::move(op), result, data](Job& job) { h->call(job, op, "", *result, *data); },
      cancellable,
      [post, result, data, then = std::move(then)](std::exception_ptr e) {
        post([e, result, data, then](Session& s) {
          s.complete([&] {
            if (e) std::rethrow_exception(e);
            then(*result, *data);
          });
        });
      });
  job_host_ = h;
  pending_ = true;
}

void Session::capture(std::function<void()> then) {
  CaptureRequest r;
  try {
    r = CaptureRequest::from_json(settings_);
  } catch (const ApiError& e) {
    refuse(-221, e.message);
  }
  const std::string board = host()->key();
  start_job("capture", {{"request", settings_}}, true,
            [this, r, board, then = std::move(then)](json&, std::string& data) {
              auto c = std::make_shared<Capture>();
              c->board = board;
              c->samples.resize(data.size() / 2);
              std::memcpy(c->samples.data(), data.data(), c->samples.size() * 2);
              c->offset_binary = r.offset_binary;
              c->rate_hz = r.sample_rate();
              c->evenly_spaced = r.evenly_spaced();
              last_ = std::move(c);
              if (then) then();
            });
}

void Session::fetch_block() {
  if (!last_) refuse(-230, "no capture yet: send INITiate first");
  const std::shared_ptr<const Capture> c = last_;
  const size_t bytes = c->samples.size() * 2;
  std::vector<Chunk> chunks{Chunk(block_header(bytes))};
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "samples lie little-endian in memory");
  if (swapped_) {
    // The samples as they are, without a copy, for as long as the answer takes.
    chunks.emplace_back(c, reinterpret_cast<const char*>(c->samples.data()), bytes);
  } else {
    std::string big(bytes, '\0');
    for (size_t i = 0; i < c->samples.size(); ++i) {
      big[2 * i] = static_cast<char>(c->samples[i] >> 8);
      big[2 * i + 1] = static_cast<char>(c->samples[i] & 0xFF);
    }
    chunks.emplace_back(std::move(big));
  }
  answer_block(std::move(chunks));
}

void Session::measure(const std::string& key) {
  if (!last_) refuse(-230, "no capture yet: send INITiate first");
  const std::shared_ptr<const Capture> c = last_;
  AnalysisOptions o;
  o.window = window_;
  o.harmonics = harmonics_;
  Post post = post_;
  auto gone = gone_;
  // Off this thread, with the HTTP side's analyses and within their memory budget.
  api_.analyses.submit(
      analysis_cost(c->samples.size()),
      [post, c, o, key] {
        std::exception_ptr failure;
        json figures;
        try {
          figures = analyse(*c, o);
        } catch (...) {
          failure = std::current_exception();
        }
        post([failure, figures, key](Session& s) {
          s.complete([&] {
            if (failure) std::rethrow_exception(failure);
            const json& m = figures["metrics"];
            if (m.is_null()) refuse(-231, "no tone to measure in the capture");
            const json& v = m[key];
            if (v.is_null()) {
              // A figure the analysis withholds is never given as a number: SCPI's NaN, and why.
              std::string why;
              for (const json& w : m.value("warnings", json::array())) {
                why += (why.empty() ? "" : "; ") + w.value("message", std::string());
              }
              refuse(-231, why.empty() ? "the analysis withholds this figure" : why);
            }
            s.answer(format_real(v.get<double>()));
          });
        });
      },
      [gone] { return gone->load(); }, [] {});
  pending_ = true;
}

}  // namespace server::scpi
