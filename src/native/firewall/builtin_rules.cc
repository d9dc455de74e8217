// The built-in tables, written out exactly as the product ships them.
#include "firewall/builtin_rules.h"

#include <initializer_list>
#include <iterator>

namespace norvo::firewall {

namespace {

// The allowed list is kept verbatim, dotted and distribution-style names
// included: the allowed check compares top-level import names only.
constexpr std::string_view kAllowed[] = {
    "abc", "asyncio", "base64", "collections", "contextlib", "copy", "csv", "dataclasses",
    "datetime", "decimal", "enum", "functools", "hashlib", "hmac", "http", "io", "itertools",
    "json", "logging", "math", "operator", "os.path", "pathlib", "random", "re", "secrets",
    "shutil", "socket", "ssl", "statistics", "string", "struct", "sys", "tempfile", "textwrap",
    "threading", "time", "traceback", "typing", "unittest", "urllib.parse", "uuid", "warnings",
    "weakref", "zipfile", "zlib", "fastapi", "flask", "django", "starlette", "quart", "uvicorn",
    "gunicorn", "requests", "httpx", "aiohttp", "urllib3", "websockets", "pydantic", "marshmallow",
    "attrs", "cerberus", "sqlalchemy", "sqlmodel", "asyncpg", "psycopg2", "pymysql", "aiosqlite",
    "redis", "pymongo", "motor", "orjson", "ujson", "msgpack", "toml", "pyyaml", "yaml", "anyio",
    "trio", "celery", "rq", "dramatiq", "cryptography", "bcrypt", "argon2", "passlib", "pyjwt",
    "jwt", "python-jose", "structlog", "loguru", "opentelemetry", "prometheus_client", "sentry_sdk",
    "pytest", "pytest_asyncio", "hypothesis", "faker", "factory_boy", "responses", "respx",
    "freezegun", "numpy", "pandas", "scipy", "matplotlib", "seaborn", "scikit-learn", "click",
    "typer", "rich", "python-dotenv", "dynaconf", "tenacity", "cachetools", "python-dateutil",
    "pytz", "pendulum", "more-itertools", "toolz",
};

struct PatternRow {
  std::string_view pattern, reason;
  Severity severity;
  bool prefix;
  std::initializer_list<std::string_view> alternatives;
};

// Prefix rows also block every longer path that starts with them, so `crypt`
// blocks `cryptography` and `pickle` blocks `pickletools`.
const PatternRow kBlocked[] = {
    {"pickle", "Arbitrary code execution via deserialization - CVE-prone", Severity::Critical, true, {"json", "orjson", "msgpack"}},
    {"marshal", "Unsafe deserialization, can execute arbitrary code", Severity::Critical, true, {"json"}},
    {"shelve", "Uses pickle internally - same RCE risks", Severity::Critical, true, {"sqlite3", "redis"}},
    {"dill", "Extended pickle - same deserialization vulnerabilities", Severity::Critical, true, {"json", "cloudpickle with allowlist"}},
    {"eval", "Arbitrary code execution from strings", Severity::Critical, false, {"ast.literal_eval (for literals only)"}},
    {"exec", "Arbitrary code execution", Severity::Critical, false, {"Avoid dynamic code execution"}},
    {"compile", "Can compile arbitrary code for execution", Severity::High, false, {"Static imports, avoid dynamic code"}},
    {"__import__", "Dynamic imports can load malicious modules", Severity::Critical, false, {"importlib.import_module with allowlist"}},
    {"os.system", "Shell injection vulnerability, command execution", Severity::Critical, false, {"subprocess.run with shell=False"}},
    {"os.popen", "Shell injection vulnerability", Severity::Critical, false, {"subprocess.run"}},
    {"os.spawn", "Process spawning without proper sanitization", Severity::High, true, {"subprocess.run"}},
    {"os.exec", "Direct process replacement", Severity::High, true, {"subprocess.run"}},
    {"subprocess.Popen", "Prefer subprocess.run for safer defaults", Severity::Medium, false, {"subprocess.run"}},
    {"commands", "Deprecated, shell injection risks", Severity::Critical, true, {"subprocess.run"}},
    {"telnetlib", "Unencrypted protocol, credentials exposed", Severity::High, true, {"paramiko (SSH)"}},
    {"ftplib", "Unencrypted FTP, credentials exposed", Severity::High, true, {"paramiko (SFTP)", "ftplib with TLS"}},
    {"smtplib", "Requires explicit TLS configuration", Severity::Medium, true, {"Use SMTP_SSL or starttls()"}},
    {"os.chmod", "Can weaken file permissions", Severity::Medium, false, {"pathlib.Path.chmod with explicit mode"}},
    {"os.chown", "Ownership changes can escalate privileges", Severity::High, false, {"Avoid or use with explicit validation"}},
    {"xml.etree", "XML parsing vulnerable to XXE attacks by default", Severity::Medium, true, {"defusedxml", "lxml with safe settings"}},
    {"xml.dom", "XML parsing vulnerable to XXE attacks", Severity::Medium, true, {"defusedxml"}},
    {"xml.sax", "XML parsing vulnerable to XXE attacks", Severity::Medium, true, {"defusedxml"}},
    {"cgi", "Deprecated CGI module, security issues", Severity::Medium, true, {"FastAPI", "Flask"}},
    {"crypt", "Weak cryptography, platform-dependent", Severity::High, true, {"bcrypt", "argon2", "passlib"}},
    {"md5", "MD5 is cryptographically broken", Severity::High, false, {"hashlib.sha256", "hashlib.blake2b"}},
    {"sha1", "SHA1 is cryptographically weak", Severity::Medium, false, {"hashlib.sha256", "hashlib.sha3_256"}},
    {"assert", "Assertions disabled with -O flag, not for validation", Severity::Low, false, {"Explicit if/raise for validation"}},
};

struct TypoRow {
  std::string_view actual;
  std::initializer_list<std::string_view> typos;
};

const TypoRow kKnownTypos[] = {
    {"requests", {"reqeusts", "requsts", "reqests", "request", "reequests"}},
    {"numpy", {"numby", "numppy", "nunpy"}},
    {"pandas", {"pandes", "pandsa", "panda"}},
    {"django", {"djano", "djanjo", "djnago"}},
    {"flask", {"flaask", "flaks", "falsk"}},
    {"tensorflow", {"tenserflow", "tesnorflow", "tensorflwo"}},
    {"cryptography", {"cyptography", "crytography", "cryptograpy"}},
    {"pydantic", {"pydanctic", "pydnatic", "pydantc"}},
};

// One name per line; the validator trims lines and skips blank and # lines.
constexpr std::string_view kStdlib =
    "__future__\n"
    "_abc\n"
    "_aix_support\n"
    "_ast\n"
    "_asyncio\n"
    "_bisect\n"
    "_blake2\n"
    "_bz2\n"
    "_codecs\n"
    "_codecs_cn\n"
    "_codecs_hk\n"
    "_codecs_iso2022\n"
    "_codecs_jp\n"
    "_codecs_kr\n"
    "_codecs_tw\n"
    "_collections\n"
    "_collections_abc\n"
    "_compat_pickle\n"
    "_compression\n"
    "_contextvars\n"
    "_crypt\n"
    "_csv\n"
    "_ctypes\n"
    "_curses\n"
    "_curses_panel\n"
    "_datetime\n"
    "_dbm\n"
    "_decimal\n"
    "_elementtree\n"
    "_frozen_importlib\n"
    "_frozen_importlib_external\n"
    "_functools\n"
    "_gdbm\n"
    "_hashlib\n"
    "_heapq\n"
    "_imp\n"
    "_io\n"
    "_json\n"
    "_locale\n"
    "_lsprof\n"
    "_lzma\n"
    "_markupbase\n"
    "_md5\n"
    "_msi\n"
    "_multibytecodec\n"
    "_multiprocessing\n"
    "_opcode\n"
    "_operator\n"
    "_osx_support\n"
    "_overlapped\n"
    "_pickle\n"
    "_posixshmem\n"
    "_posixsubprocess\n"
    "_py_abc\n"
    "_pydatetime\n"
    "_pydecimal\n"
    "_pyio\n"
    "_pylong\n"
    "_queue\n"
    "_random\n"
    "_scproxy\n"
    "_sha1\n"
    "_sha2\n"
    "_sha3\n"
    "_signal\n"
    "_sitebuiltins\n"
    "_socket\n"
    "_sqlite3\n"
    "_sre\n"
    "_ssl\n"
    "_stat\n"
    "_statistics\n"
    "_string\n"
    "_strptime\n"
    "_struct\n"
    "_symtable\n"
    "_thread\n"
    "_threading_local\n"
    "_tkinter\n"
    "_tokenize\n"
    "_tracemalloc\n"
    "_typing\n"
    "_uuid\n"
    "_warnings\n"
    "_weakref\n"
    "_weakrefset\n"
    "_winapi\n"
    "_zoneinfo\n"
    "abc\n"
    "aifc\n"
    "antigravity\n"
    "argparse\n"
    "array\n"
    "ast\n"
    "asyncio\n"
    "atexit\n"
    "audioop\n"
    "base64\n"
    "bdb\n"
    "binascii\n"
    "bisect\n"
    "builtins\n"
    "bz2\n"
    "cProfile\n"
    "calendar\n"
    "cgi\n"
    "cgitb\n"
    "chunk\n"
    "cmath\n"
    "cmd\n"
    "code\n"
    "codecs\n"
    "codeop\n"
    "collections\n"
    "colorsys\n"
    "compileall\n"
    "concurrent\n"
    "configparser\n"
    "contextlib\n"
    "contextvars\n"
    "copy\n"
    "copyreg\n"
    "crypt\n"
    "csv\n"
    "ctypes\n"
    "curses\n"
    "dataclasses\n"
    "datetime\n"
    "dbm\n"
    "decimal\n"
    "difflib\n"
    "dis\n"
    "doctest\n"
    "email\n"
    "encodings\n"
    "ensurepip\n"
    "enum\n"
    "errno\n"
    "faulthandler\n"
    "fcntl\n"
    "filecmp\n"
    "fileinput\n"
    "fnmatch\n"
    "fractions\n"
    "ftplib\n"
    "functools\n"
    "gc\n"
    "genericpath\n"
    "getopt\n"
    "getpass\n"
    "gettext\n"
    "glob\n"
    "graphlib\n"
    "grp\n"
    "gzip\n"
    "hashlib\n"
    "heapq\n"
    "hmac\n"
    "html\n"
    "http\n"
    "idlelib\n"
    "imaplib\n"
    "imghdr\n"
    "importlib\n"
    "inspect\n"
    "io\n"
    "ipaddress\n"
    "itertools\n"
    "json\n"
    "keyword\n"
    "lib2to3\n"
    "linecache\n"
    "locale\n"
    "logging\n"
    "lzma\n"
    "mailbox\n"
    "mailcap\n"
    "marshal\n"
    "math\n"
    "mimetypes\n"
    "mmap\n"
    "modulefinder\n"
    "msilib\n"
    "msvcrt\n"
    "multiprocessing\n"
    "netrc\n"
    "nis\n"
    "nntplib\n"
    "nt\n"
    "ntpath\n"
    "nturl2path\n"
    "numbers\n"
    "opcode\n"
    "operator\n"
    "optparse\n"
    "os\n"
    "ossaudiodev\n"
    "pathlib\n"
    "pdb\n"
    "pickle\n"
    "pickletools\n"
    "pipes\n"
    "pkgutil\n"
    "platform\n"
    "plistlib\n"
    "poplib\n"
    "posix\n"
    "posixpath\n"
    "pprint\n"
    "profile\n"
    "pstats\n"
    "pty\n"
    "pwd\n"
    "py_compile\n"
    "pyclbr\n"
    "pydoc\n"
    "pydoc_data\n"
    "pyexpat\n"
    "queue\n"
    "quopri\n"
    "random\n"
    "re\n"
    "readline\n"
    "reprlib\n"
    "resource\n"
    "rlcompleter\n"
    "runpy\n"
    "sched\n"
    "secrets\n"
    "select\n"
    "selectors\n"
    "shelve\n"
    "shlex\n"
    "shutil\n"
    "signal\n"
    "site\n"
    "smtplib\n"
    "sndhdr\n"
    "socket\n"
    "socketserver\n"
    "spwd\n"
    "sqlite3\n"
    "sre_compile\n"
    "sre_constants\n"
    "sre_parse\n"
    "ssl\n"
    "stat\n"
    "statistics\n"
    "string\n"
    "stringprep\n"
    "struct\n"
    "subprocess\n"
    "sunau\n"
    "symtable\n"
    "sys\n"
    "sysconfig\n"
    "syslog\n"
    "tabnanny\n"
    "tarfile\n"
    "telnetlib\n"
    "tempfile\n"
    "termios\n"
    "textwrap\n"
    "this\n"
    "threading\n"
    "time\n"
    "timeit\n"
    "tkinter\n"
    "token\n"
    "tokenize\n"
    "tomllib\n"
    "trace\n"
    "traceback\n"
    "tracemalloc\n"
    "tty\n"
    "turtle\n"
    "turtledemo\n"
    "types\n"
    "typing\n"
    "unicodedata\n"
    "unittest\n"
    "urllib\n"
    "uu\n"
    "uuid\n"
    "venv\n"
    "warnings\n"
    "wave\n"
    "weakref\n"
    "webbrowser\n"
    "winreg\n"
    "winsound\n"
    "wsgiref\n"
    "xdrlib\n"
    "xml\n"
    "xmlrpc\n"
    "zipapp\n"
    "zipfile\n"
    "zipimport\n"
    "zlib\n"
    "zoneinfo\n";

}  // namespace

const std::array<std::string_view, 26> kPopularPackages = {
    "requests", "numpy", "pandas", "django", "flask", "fastapi", "tensorflow", "pytorch",
    "scikit-learn", "matplotlib", "pillow", "boto3", "selenium", "beautifulsoup4", "sqlalchemy",
    "celery", "redis", "pymongo", "psycopg2", "cryptography", "pyyaml", "pydantic", "httpx",
    "aiohttp", "starlette", "uvicorn",
};

std::string_view stdlib_module_text() { return kStdlib; }

Policy production_defaults() {
  Policy p;
  p.version = "2.0";
  p.mode = PolicyMode::Strict;
  for (auto name : kAllowed) p.allowed_packages.emplace_back(name);
  for (const auto& row : kBlocked) {
    BlockedPattern b;
    b.pattern = row.pattern;
    b.reason = row.reason;
    b.severity = row.severity;
    b.is_prefix_match = row.prefix;
    for (auto alt : row.alternatives) b.alternatives.emplace_back(alt);
    p.blocked_patterns.push_back(std::move(b));
  }
  p.allowed_internal_patterns = {"app.*", "src.*", "lib.*", "tests.*"};
  p.typo_detection.enabled = true;
  p.typo_detection.max_edit_distance = 2;
  for (const auto& row : kKnownTypos) {
    KnownTypo t;
    t.actual = row.actual;
    for (auto typo : row.typos) t.typos.emplace_back(typo);
    p.typo_detection.known_typos.push_back(std::move(t));
  }
  p.atlas = AtlasConfig{};  // enabled, fail_open, "atlas.sqlite", 300
  p.internal_prefixes = {"app.", "src.", "lib."};
  return p;
}

static_assert(std::size(kAllowed) == 120);
static_assert(std::size(kBlocked) == 27);
static_assert(std::size(kKnownTypos) == 8);
static_assert(kStdlib.size() == 2470);

}  // namespace norvo::firewall
