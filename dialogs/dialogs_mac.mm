// The dialogs on macOS, with AppKit. AppKit may only be used on the main
// thread, so a caller on any other thread waits while the main queue runs
// the dialog. Built without ARC: every object made here is released here.
#import <AppKit/AppKit.h>
#include <dispatch/dispatch.h>

#include <string>

#include "dialogs/dialogs.h"

namespace {

NSString *nsText(const char *text, const char *fallback) {
  NSString *s = [NSString stringWithUTF8String:(text ? text : fallback)];
  return s ? s : @"";  // invalid UTF-8 shows as an empty text
}

// Nothing may unwind through libdispatch or out to the host: a dialog that
// fails counts as dismissed.
void onMainThread(void (^body)(void)) {
  void (^guarded)(void) = ^{
    try {
      body();
    } catch (...) {
    }
  };
  if ([NSThread isMainThread]) {
    guarded();
  } else {
    dispatch_sync(dispatch_get_main_queue(), guarded);
  }
}

NSAlert *newAlert(NSString *informative) {
  NSAlert *alert = [[NSAlert alloc] init];
  [alert setMessageText:@"Tornavoz"];
  [alert setInformativeText:informative];
  return alert;
}

}  // namespace

void tvoz_alert_mac(const char *text) {
  @autoreleasepool {
    NSString *body = nsText(text, "");
    onMainThread(^{
      NSAlert *alert = newAlert(body);
      [alert addButtonWithTitle:@"OK"];
      [alert runModal];
      [alert release];
    });
  }
}

bool tvoz_confirm_mac(const char *text) {
  __block bool confirmed = false;
  @autoreleasepool {
    NSString *body = nsText(text, "¿Confirmar?");
    onMainThread(^{
      NSAlert *alert = newAlert(body);
      [alert addButtonWithTitle:@"Borrar"];
      [alert addButtonWithTitle:@"Cancelar"];
      confirmed = [alert runModal] == NSAlertFirstButtonReturn;
      [alert release];
    });
  }
  return confirmed;
}

const char *tvoz_prompt_text_mac(const char *prompt, const char *initial) {
  static std::string &result = *new std::string;
  __block std::string text;
  __block bool entered = false;
  @autoreleasepool {
    NSString *question = nsText(prompt, "Nombre");
    NSString *value = nsText(initial, "");
    onMainThread(^{
      NSAlert *alert = newAlert(question);
      [alert addButtonWithTitle:@"Crear"];
      [alert addButtonWithTitle:@"Cancelar"];
      NSTextField *field = [[NSTextField alloc] initWithFrame:NSMakeRect(0, 0, 260, 24)];
      [field setStringValue:value];
      [alert setAccessoryView:field];
      [[alert window] setInitialFirstResponder:field];
      if ([alert runModal] == NSAlertFirstButtonReturn) {
        const char *typed = [[field stringValue] UTF8String];
        text = typed ? typed : "";
        entered = true;
      }
      [field release];
      [alert release];
    });
  }
  result = entered ? text : std::string();
  return entered && !result.empty() ? result.c_str() : nullptr;
}

const char *tvoz_pick_folder_mac() {
  static std::string &result = *new std::string;
  __block std::string path;
  @autoreleasepool {
    onMainThread(^{
      NSOpenPanel *panel = [NSOpenPanel openPanel];
      [panel setCanChooseFiles:NO];
      [panel setCanChooseDirectories:YES];
      [panel setCanCreateDirectories:YES];
      [panel setAllowsMultipleSelection:NO];
      [panel setPrompt:@"Elegir"];
      [panel setTitle:@"Tornavoz"];
      [panel setMessage:@"Carpeta donde se guardan las canciones para tocar sin internet"];
      if ([panel runModal] != NSModalResponseOK) return;
      NSURL *chosen = [[panel URLs] firstObject];
      const char *p = chosen ? [[chosen path] UTF8String] : nullptr;
      if (p) path = p;
    });
  }
  result = path;
  return result.empty() ? nullptr : result.c_str();
}
