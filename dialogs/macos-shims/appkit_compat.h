// Included before everything else by scripts/check-macos: AppKit API that
// macOS has and GNUstep's headers lack, declared as macOS declares it.
#pragma once
#import <AppKit/AppKit.h>

@interface NSAlert (TvozMacOSOnly)
- (void)setAccessoryView:(NSView *)view;
@end
