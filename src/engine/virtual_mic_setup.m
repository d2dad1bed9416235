// Creates the Melodara virtual bus and virtual microphone through Loopback's
// ACE framework. The audio service writes this file out, builds it with clang
// against the installed framework and runs it while the bus is missing.
// Exit status: 0 when done, 1 when the framework lacks a class used here.
//
// The bus is an output device with no sources of its own; the microphone is
// an input device that plays the bus back, channel 1 on the left and channel
// 2 on the right. Leftovers of earlier versions (an old UID,
// a device of ours that lost its agent or changed direction) are deleted
// first, so that the two devices are always recreated whole.

#import <Foundation/Foundation.h>

// The part of the ACE framework's interface this program uses. The classes
// are looked up by name at run time, so a framework without them makes the
// program exit instead of failing to load.
@interface ECManager : NSObject
+ (instancetype)sharedManager;
- (NSArray *)audioDevices;
- (void)addAudioDevice:(id)device;
- (void)deleteAudioDevice:(id)device;
@end

@interface ECAudioSourceMap : NSObject
- (instancetype)initWithInput:(NSString *)input outputs:(NSArray<NSString *> *)outputs;
@end

@interface ECAudioSourceDevice : NSObject
- (instancetype)initWithDeviceUID:(NSString *)uid output:(BOOL)output;
@property(copy) NSString *mutingMode;
@property(strong) ECAudioSourceMap *channelMap;
@end

@interface ECAudioSourceGroup : NSObject
@property(copy) NSString *mode;
@property(copy) NSArray *sources;
@end

@interface ECAudioDevice : NSObject
@property(copy) NSString *name;
@property(copy) NSString *uid;
@property(assign) NSUInteger channelCount;
@property(assign) double sampleRate;
@property(assign, getter=isOutput) BOOL output;
@property(assign, getter=isSelfie) BOOL selfie;
@property(assign) BOOL effectsEnabled;
@property(assign, getter=isHidden) BOOL hidden;
@property(copy) NSString *latencyMode;
@property(assign) NSInteger loopbackVersion;
@property(assign, getter=isManaged) BOOL managed;
@property(copy) NSString *mutingMode;
@property(copy) NSString *notifyAgent;
@property(copy) NSString *notifyAgentPathHint;
@property(copy) NSString *safetyAgent;
@property(copy) NSString *safetyAgentPathHint;
@property(assign) NSInteger safety;
@property(copy) NSArray *players;
@property(strong) ECAudioSourceGroup *sourceGroup;
@end

static NSString *const kLoopbackAppId = @"com.rogueamoeba.Loopback";
static NSString *const kLoopbackDaemonId = @"com.rogueamoeba.loopbackd";
static NSString *const kBusName = @"Melodara_Virtual_Bus_48kHz";
static NSString *const kMicName = @"Melodara_Virtual_Mic_48kHz";
static NSString *const kBusUidSuffix = @"MLD48000-BUS0-4000-8000-000000048000";
static NSString *const kMicUidSuffix = @"MLD48000-0000-4000-8000-000000048000";
static NSString *const kOldUid = @"com.melodara.virtualmic.48k";

static NSString *TextOf(id object, SEL selector) {
  if (![object respondsToSelector:selector]) return @"";
  id value = [object performSelector:selector];
  return [value isKindOfClass:[NSString class]] ? value : @"";
}

static BOOL OutputFlagOf(id device) {
  if (![device respondsToSelector:@selector(isOutput)]) return NO;
  return ((ECAudioDevice *)device).isOutput;
}

// A device with its own source group; the rest of its settings are the same for both devices.
static ECAudioDevice *NewDevice(Class deviceClass, Class groupClass, NSString *name, NSString *uid, BOOL output,
                                BOOL selfie, NSArray *sources) {
  ECAudioSourceGroup *group = [[groupClass alloc] init];
  group.mode = @"or";
  group.sources = sources;
  ECAudioDevice *device = [[deviceClass alloc] init];
  device.name = name;
  device.uid = uid;
  device.channelCount = 2;
  device.sampleRate = 48000.0;
  device.output = output;
  device.selfie = selfie;
  device.effectsEnabled = YES;
  device.hidden = NO;
  device.latencyMode = @"low";
  device.loopbackVersion = 2;
  device.managed = YES;
  device.mutingMode = @"never";
  device.notifyAgent = kLoopbackDaemonId;
  device.notifyAgentPathHint = [NSHomeDirectory()
      stringByAppendingPathComponent:@"Library/Application Support/Loopback/Loopback.app/Contents/MacOS/Loopback"];
  device.safetyAgent = kLoopbackAppId;
  device.safetyAgentPathHint = @"/Applications/Loopback.app/Contents/MacOS/Loopback";
  device.safety = 0;
  device.players = @[];
  device.sourceGroup = group;
  return device;
}

// One channel of the bus as a source of the microphone.
static ECAudioSourceDevice *BusSource(Class sourceClass, Class mapClass, NSString *busUid,
                                      NSArray<NSString *> *outputs) {
  ECAudioSourceDevice *source = [[sourceClass alloc] initWithDeviceUID:busUid output:YES];
  source.mutingMode = @"never";
  source.channelMap = [[mapClass alloc] initWithInput:@"none" outputs:outputs];
  return source;
}

int main(void) {
  @autoreleasepool {
    Class managerClass = NSClassFromString(@"ECManager");
    if (managerClass == Nil) return 1;
    ECManager *manager = [managerClass sharedManager];
    if (manager == nil) return 1;

    NSString *busUid = [NSString stringWithFormat:@"%@:%@", kLoopbackAppId, kBusUidSuffix];
    NSString *micUid = [NSString stringWithFormat:@"%@:%@", kLoopbackAppId, kMicUidSuffix];

    BOOL haveBus = NO;
    BOOL haveMic = NO;
    for (id device in [[manager audioDevices] copy]) {
      NSString *uid = TextOf(device, @selector(uid));
      NSString *name = TextOf(device, @selector(name));
      NSString *agent = TextOf(device, @selector(notifyAgent));
      BOOL output = OutputFlagOf(device);
      if ([uid isEqualToString:busUid] && [name isEqualToString:kBusName] && agent.length > 0 && output) {
        haveBus = YES;
        continue;
      }
      if ([uid isEqualToString:micUid] && [name isEqualToString:kMicName] && agent.length > 0 && !output) {
        haveMic = YES;
        continue;
      }
      BOOL ours = [uid isEqualToString:kOldUid] || [uid isEqualToString:busUid] ||
                  [uid isEqualToString:micUid] || [name hasPrefix:@"Melodara_Virtual_"] ||
                  [name isEqualToString:@"Melodara_Test_Loopback"];
      if (ours) [manager deleteAudioDevice:device];
    }
    if (haveBus && haveMic) return 0;

    Class groupClass = NSClassFromString(@"ECAudioSourceGroup");
    Class sourceClass = NSClassFromString(@"ECAudioSourceDevice");
    Class mapClass = NSClassFromString(@"ECAudioSourceMap");
    Class deviceClass = NSClassFromString(@"ECAudioDevice");
    if (groupClass == Nil || sourceClass == Nil || mapClass == Nil || deviceClass == Nil) return 1;

    if (!haveBus) {
      [manager addAudioDevice:NewDevice(deviceClass, groupClass, kBusName, busUid, YES, YES, @[])];
    }
    if (!haveMic) {
      NSArray *sources = @[
        BusSource(sourceClass, mapClass, busUid, @[ @"left", @"none" ]),
        BusSource(sourceClass, mapClass, busUid, @[ @"none", @"right" ]),
      ];
      [manager addAudioDevice:NewDevice(deviceClass, groupClass, kMicName, micUid, NO, NO, sources)];
    }
    return 0;
  }
}
