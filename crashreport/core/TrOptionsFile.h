// The options file: the crash reporter's stored options as text that a
// developer edits and a diff shows well. The build tool reads it and stores
// the options in the program's data block; --dump-options writes a
// program's stored options back in the same form.
//
//   ; a comment (a line starting with ; or #)
//   [Options]
//   ActivateLog=true
//   SMTPPort=2525
//   ExceptionDialogType=edtTraciraLog
//   CommonSendOptions=sndShowSendDialog,sndSendScreenshot
//   HTMLLayout=<html>\r\n<body><%HTML_TAG%></body>\r\n</html>
//   [Filter1]
//   ExceptionClassName=EScanerX
//   HandlerType=fhtNone
//   [Texts]
//   mtDialog_Caption=Ошибка
//   [Leaks]
//   FromMainModule=true
//
// Sections: [Options] holds the properties of the options record by their
// own names; [Filter1], [Filter2], ... the exception filters, in order, with
// the filter record's fields; [Texts] the customised texts by their
// TMessageType member names; [Leaks] how a library module takes its leak
// options (FromMainModule: from the main module's block). Every key is
// optional: what a file leaves out keeps the record's default.
//
// Values: true or false; whole numbers in the field's range; an
// enumeration's member name; a set as member names separated by commas
// (empty for the empty set; a bit without a member as its number); text as
// UTF-8, blanks at either end dropped. In text, \\ is a backslash, \r, \n and
// \t are CR, LF and TAB, and \xHH is the stored byte HH as it is; any other
// backslash is an error (write C:\\Logs for C:\Logs). Text is stored in the
// program's code page, and a character that code page cannot hold is an
// error, never a '?'.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crashreport/core/TrCore.h"

namespace tracira {

// What an options file says beyond the options record.
struct TTrBlockSettings {
  // A library module takes its leak options from the main module's block.
  bool LeaksFromMainModule = true;
  bool operator==(const TTrBlockSettings&) const = default;
};

struct TTrOptionsFile {
  TTraciraOptionsData Options;  // ModuleName and Active as the defaults have them
  TTrBlockSettings Block;
};

// A file that can't be taken: the message names the file, the line and what
// was expected ("tavrix.ini:12: SMTPPort: ...").
class EOptionsFileError : public rtl::Exception {
 public:
  using Exception::Exception;
};

// Reads an options file's text (UTF-8, an optional byte-order mark, LF or
// CR LF line ends). fileName is used in messages only. Raises
// EOptionsFileError at the first fault.
TTrOptionsFile ReadOptionsFile(std::string_view text, std::string_view fileName, unsigned codePage);

// The options as a file that ReadOptionsFile reads back to the same stored
// options: every stored property, filter and text on its line. The build
// commands, ModuleName and Active are not stored in a program, so they are
// not written.
std::string WriteOptionsFile(const TTraciraOptionsData& options, const TTrBlockSettings& block,
                             unsigned codePage);

}  // namespace tracira
