/*********************************************************************
 * Weekly course timetabling with rooms and lecturer conflicts
 *
 * Each course must receive its number of weekly lectures in the slots
 * (day, period) of the week. A course gets at most one lecture a day,
 * a lecturer teaches at most one lecture per slot, and the number of
 * rooms limits the lectures in a slot. Unpopular slots carry a
 * penalty, and the total penalty is minimised.
 *********************************************************************/

// A course, its lecturer and its number of lectures per week.
tuple Course {
  string code;
  string lecturer;
  int lectures;
}

// Courses to place.
{Course} Courses = ...;

// Lecturers of the college.
{string} Lecturers = ...;

// Days of the week (1 = Monday) and periods of a day.
int nbDays = ...;
range Days = 1..nbDays;
{string} Periods = ...;

// Lecture rooms available in every slot.
int nbRooms = ...;

// Penalty of placing one lecture in a slot (higher is worse).
int penalty[Days][Periods] = ...;

// meets[c][d][p] = 1 when course c has a lecture on day d in period p.
dvar boolean meets[Courses][Days][Periods];

// Objective: total penalty of the timetable.
minimize slotPenalty: sum(c in Courses, d in Days, p in Periods) penalty[d][p] * meets[c][d][p];

subject to {
  // Every course gets its weekly number of lectures.
  forall(c in Courses)
    weeklyLectures: sum(d in Days, p in Periods) meets[c][d][p] == c.lectures;

  // At most one lecture of a course per day.
  forall(c in Courses, d in Days)
    oncePerDay: sum(p in Periods) meets[c][d][p] <= 1;

  // A lecturer gives at most one lecture in any slot.
  forall(l in Lecturers, d in Days, p in Periods)
    lecturerFree: sum(c in Courses: c.lecturer == l) meets[c][d][p] <= 1;

  // No more lectures in a slot than there are rooms.
  forall(d in Days, p in Periods)
    roomLimit: sum(c in Courses) meets[c][d][p] <= nbRooms;
}
