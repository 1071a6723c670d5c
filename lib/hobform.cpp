// CHobForm: decodes the query string and the POST body of one CGI request
// into form items; the first occurrence of a name wins.
#include "hobform.h"

#include <sys/time.h>

#include <cstdio>
#include <string>
#include <unordered_set>

#include "hobbufary.h"
#include "hobfile.h"
#include "hobglobal.h"
#include "hobstrary.h"
#include "hobstrpath.h"

namespace {

const char* TextOf(const char* text) { return text != nullptr ? text : ""; }

// The bytes of buffer as text, up to its first zero byte.
CHobString BufferText(const CHobBuffer& buffer) { return CHobString(buffer.data); }

// The names in a form, looked up in constant time: a request body may carry
// hundreds of thousands of fields, and a scan of the entries per field would
// take quadratic time.
class NameSet {
 public:
  explicit NameSet(const CHobForm& form) {
    for (int i = 0; i < form.count; i++) names_.insert(form.items[i].tag.m_pszText);
  }
  // True when name was not in the set; it is then recorded.
  bool Insert(const char* name) { return names_.insert(name).second; }

 private:
  std::unordered_set<std::string> names_;
};

// Append an entry named name unless one exists; returns 1 when added.
int AppendItem(CHobForm& form, NameSet& names, const char* name, const CHobFormItem& item) {
  if (!names.Insert(name)) return 0;
  int index = form.AppendTag(name);
  form.items[index].data = item;
  return 1;
}

// The name=value pairs of text separated by "&"; decode selects
// percent-decoding and CR LF to LF in values. Returns the entries added.
int DecodePairs(CHobForm& form, const char* text, bool decode) {
  CHobStrAry pieces(0, 10);
  pieces.SetToken(text, "&");
  NameSet names(form);
  int added = 0;
  for (int i = 0; i < pieces.count; i++) {
    const CHobString& piece = pieces.items[i];
    int equals = piece.Find("=");
    CHobString name;
    CHobFormItem item;
    if (equals >= 0) {
      name = piece.Left(equals);
      item.m_strValue = piece.Mid(equals + 1);
    } else if (piece.IsEmpty()) {
      continue;
    } else {
      item.m_strValue = piece;
    }
    if (decode) {
      name = name.PerHexToChar();
      item.m_strValue = item.m_strValue.PerHexToChar();
      item.m_strValue.Replace("\r\n", "\n", true);
    }
    added += AppendItem(form, names, name.m_pszText, item);
  }
  return added;
}

// Take one multipart piece apart into its field name and item, releasing
// the piece; false when it holds no field. totalSize grows by the content
// length of a file field.
bool DecodePart(CHobBuffer& piece, CHobString& name, CHobFormItem& item, int& totalSize) {
  int headerEnd = piece.Find("\r\n\r\n", 4);
  if (headerEnd < 0) return false;
  CHobBuffer headers = piece.Left(headerEnd);
  CHobBuffer content = piece.Mid(headerEnd + 4);
  piece.Free();
  // The CR LF in front of the next delimiter belongs to the framing.
  if (content.length > 2) {
    content.Delete(content.length - 2);
  } else {
    content.Free();
  }

  CHobBufAry quoted(0, 10);
  quoted.SetToken(headers.data, headers.length, "\"", 1, "\"", 1);
  if (quoted.count == 0) return false;
  name = BufferText(quoted.items[0]);

  if (quoted.count == 1) {
    item.m_strValue = BufferText(content);
    item.m_strValue.Replace("\r\n", "\n", true);
    return true;
  }

  CHobStrPath file;
  file.Split(BufferText(quoted.items[1]).m_pszText);
  item.m_strValue = file.m_strFile;
  if (!file.m_strFile.IsEmpty()) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    item.m_strSaveName.Format("%ld%03d%s", static_cast<long>(now.tv_sec),
                              static_cast<int>(now.tv_usec / 1000), file.m_strExt.m_pszText);
  }
  const char kTypeHeader[] = "Content-Type: ";
  const int typeHeaderLen = sizeof(kTypeHeader) - 1;
  int type = headers.Find(kTypeHeader, typeHeaderLen);
  if (type >= 0) item.m_strContentType = BufferText(headers.Mid(type + typeHeaderLen));
  item.m_bufData = content;
  totalSize += content.length;
  return true;
}

// True when name is one of the secret field names.
bool IsSecret(const CHobStrAry& secret, const CHobString& name) {
  for (int i = 0; i < secret.count; i++) {
    if (name == secret.items[i]) return true;
  }
  return false;
}

// The name=value pairs of text as the trace shows them: the value of every
// secret field (its name decoded as the decoder reads it) replaced by "***".
CHobString MaskPairs(const char* text, const CHobStrAry& secret, bool decode) {
  if (secret.count == 0) return CHobString(text);
  CHobStrAry pieces(0, 10);
  pieces.SetToken(text, "&");
  CHobBuffer shown;
  for (int i = 0; i < pieces.count; i++) {
    const CHobString& piece = pieces.items[i];
    int equals = piece.Find("=");
    CHobString name = equals >= 0 ? piece.Left(equals) : CHobString();
    CHobString part = IsSecret(secret, decode ? name.PerHexToChar() : name) ? name + "=***" : piece;
    if (i > 0) shown.Append("&", 1);
    shown.Append(part.m_pszText, static_cast<unsigned>(part.GetLength()));
  }
  return CHobString(shown.data);
}

// A multipart body as the trace shows it, up to its first zero byte: the
// content of every part that carries a secret field replaced by "***".
CHobString MaskParts(const CHobBuffer& body, const CHobStrAry& secret) {
  CHobString text(body.data);
  int delimiterLen = body.Find("\r\n", 2);
  if (secret.count == 0 || delimiterLen <= 0) return text;
  CHobString delimiter = text.Left(delimiterLen);
  CHobStrAry parts(0, 10);
  parts.SetToken(text.m_pszText, delimiter.m_pszText);
  CHobBuffer shown;
  for (int i = 0; i < parts.count; i++) {
    CHobString part = parts.items[i];
    int headerEnd = part.Find("\r\n\r\n");
    if (headerEnd >= 0 && IsSecret(secret, part.Left(headerEnd).GetToken("\"", "\""))) {
      part = part.Left(headerEnd + 4) + "***\r\n";
    }
    if (i > 0) shown.Append(delimiter.m_pszText, static_cast<unsigned>(delimiterLen));
    shown.Append(part.m_pszText, static_cast<unsigned>(part.GetLength()));
  }
  return CHobString(shown.data);
}

}  // namespace

CHobForm::CHobForm() : m_nTotalSize(0), m_arySecret(0, 10) {
  growBy = 10;
  SetSize(0, false);
}

int CHobForm::QueryString() {
  RemoveAll();
  int added = 0;
  if (go.env.REQUEST_METHOD.Compare("POST", 1) == 0) {
    long length = go.env.CONTENT_LENGTH;
    if (length > kHobMaxBodySize) {
      go.log.Trace("QueryString body of %ld bytes is over the limit of %d bytes; not read", length,
                   kHobMaxBodySize);
    } else if (length > 0) {
      CHobFile input;
      input.m_pFile = stdin;
      CHobBuffer body = input.ReadBuffer(static_cast<int>(length));
      if (go.env.CONTENT_TYPE.Find("multipart/form-data") >= 0) {
        added += QueryMultipart(body);
      } else if (go.env.CONTENT_TYPE.Find("application/x-www-form-urlencoded") >= 0) {
        added += QueryUrlEncoded(body.data);
      } else {
        added += QueryTextPlain(body.data);
      }
    }
  }
  added += QueryUrlEncoded(go.env.QUERY_STRING.m_pszText);
  return added;
}

int CHobForm::QueryUrlEncoded(const char* text) {
  if (go.log.bTrace != 0) {
    go.log.Trace(
        "QueryUrlEncoded START\n --- QueryString dump start ---\n[%s]\n"
        " --- QueryString dump  end ---",
        MaskPairs(TextOf(text), m_arySecret, true).m_pszText);
  }
  int added = DecodePairs(*this, text, true);
  go.log.Trace("QueryUrlEncoded END item num=%d", count);
  return added;
}

int CHobForm::QueryTextPlain(const char* text) {
  if (go.log.bTrace != 0) {
    go.log.Trace(
        "QueryTextPlain START\n --- QueryString dump start ---\n[%s]\n"
        " --- QueryString dump  end ---",
        MaskPairs(TextOf(text), m_arySecret, false).m_pszText);
  }
  int added = DecodePairs(*this, text, false);
  go.log.Trace("QueryTextPlain END item num=%d", count);
  return added;
}

int CHobForm::QueryMultipart(CHobBuffer& body) {
  if (go.log.bTrace != 0) {
    go.log.Trace(
        "QueryMultipart START\n --- QueryString dump start ---\n[%s]\n"
        " --- QueryString dump  end ---",
        MaskParts(body, m_arySecret).m_pszText);
  }
  int added = 0;
  // The delimiter is the first line; a body without one holds no field.
  int delimiterLen = body.Find("\r\n", 2);
  if (delimiterLen > 0) {
    CHobBufAry pieces(0, 10);
    pieces.SetToken(body.data, body.length, body.data, delimiterLen);
    NameSet names(*this);
    for (int i = 0; i < pieces.count; i++) {
      CHobString name;
      CHobFormItem item;
      if (DecodePart(pieces.items[i], name, item, m_nTotalSize)) {
        added += AppendItem(*this, names, name.m_pszText, item);
      }
    }
  }
  go.log.Trace("QueryMultipart END item num=%d", count);
  return added;
}

CHobString CHobForm::Value(const char* name) const {
  Entry* entry = Data(name);
  return entry != nullptr ? entry->data.m_strValue : CHobString();
}

CHobString CHobForm::Value(int index) const {
  Entry* entry = Data(index);
  return entry != nullptr ? entry->data.m_strValue : CHobString();
}

CHobForm::Entry* CHobForm::Data(const char* name) const {
  int index = FindTag(name);
  return index >= 0 ? &items[index] : nullptr;
}

CHobForm::Entry* CHobForm::Data(int index) const {
  return index >= 0 && index < count ? &items[index] : nullptr;
}

int CHobForm::Add(const char* name, const char* value) {
  if (FindTag(name) >= 0) return -1;
  int index = AppendTag(name);
  items[index].data.m_strValue = value;
  return index;
}

int CHobForm::SetAt(const char* name, const char* value) {
  int index = FindTag(name);
  if (index < 0) return Add(name, value);
  CHobFormItem& item = items[index].data;
  item.m_strValue = value;
  item.m_strSaveName.Free();
  item.m_strContentType.Free();
  item.m_bufData.Free();
  return index;
}
