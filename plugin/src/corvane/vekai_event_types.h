// The event types the plugin itself produces, with the names it declares them under.
#pragma once

namespace vekai::EventTypes {

inline constexpr const char* Fps = "vek.vekai.fps";
inline constexpr const char* Counted = "vek.vekai.counted";
inline constexpr const char* LoiterAlarm = "vek.vekai.loiter_alarm";
inline constexpr const char* Category = "vek.vekai.category";
inline constexpr const char* LineCrossing = "vek.vekai.linecrossing";
inline constexpr const char* Dumping = "vek.vekai.dumping";

struct Declaration {
    const char* id;
    const char* name;
};

inline constexpr Declaration kBuiltIn[] = {
    {Fps, "Frames per second"},
    {Counted, "Objects counted"},
    {LoiterAlarm, "Loiterer detected"},
    {Category, "Category detected"},
    {LineCrossing, "Line crossing detected"},
    {Dumping, "Illegal dumping detected"},
};

}  // namespace vekai::EventTypes
