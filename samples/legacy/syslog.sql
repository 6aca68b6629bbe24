-- syslog.db before it carried a schema version.
create table log(id integer primary key, time text, level integer, message text);
insert into log values(1, '2026-12-01 08:00:00', 0, 'Workstation started');
